#pragma once
// Attributes of one scheduler job, copied by KrGavetaScheduler2::addJob.

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/KrGavetaJobParametersAndResult.h"

struct KrGavetaJobAtttributes {
    // Called by KrGavetaScheduler2::stop for the job while it runs, outside
    // the scheduler's locks, so it may call the scheduler.
    std::function<void()> _jo_stop = [] {};
    // Cleared by stop for running jobs.
    bool _jo_run = true;
    // Status of the parameters record addJob makes when given none.
    int _jo_status = KR_GAVETA_RUN_ONCE;
    // A ready job does not start while a running job has a bit of it set.
    uint64_t _jo_mask = 0;
    std::string _jo_name = "unknown";
    // Delay before each repeat (KR_GAVETA_REPEAT result); the first run is never delayed.
    long _jo_delay_us = 0;
    long _jo_delay_ms = 0;
    // Set by the scheduler when it delays a repeat: the due time as system-clock
    // nanoseconds, for display (KrGavetaScheduler2::dueTimeText); the scheduler
    // itself times repeats on the steady clock.
    long _jo_due = 0;
};
