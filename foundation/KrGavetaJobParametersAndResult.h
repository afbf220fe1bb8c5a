#pragma once
// The record a scheduler job is called with and returns: the job id (set by
// KrGavetaScheduler2::addJob), a value free for the job's own use, and a
// status; a result with status KR_GAVETA_REPEAT makes the job run again after
// its delay.
// Derive from it to carry more.

#include <cstdint>

// What the status of a run's result asks of the scheduler.
enum KrGavetaJobStatus : int {
    KR_GAVETA_FAILED = -1,   // kept by the scheduler for a run that threw or returned nothing
    KR_GAVETA_RUN_ONCE = 0,  // the job is done after this run
    KR_GAVETA_REPEAT = 1,    // run the job again after the delay of its attributes
};

class KrGavetaJobParametersAndResult {
  public:
    KrGavetaJobParametersAndResult(int status, uint64_t value);
    virtual ~KrGavetaJobParametersAndResult();

    // Takes job id and value from other; this record's status stays. Returns this.
    virtual KrGavetaJobParametersAndResult* copyFrom(const KrGavetaJobParametersAndResult& other);

    void setStatus(int status) { _status = status; }
    int getStatus() const { return _status; }
    uint64_t getJobId() const { return _jobId; }
    void setJobId(uint64_t jobId) { _jobId = jobId; }
    uint64_t getValue() const { return _value; }
    void setValue(uint64_t value) { _value = value; }

  private:
    uint64_t _jobId = 0;
    uint64_t _value;
    int _status;
};
