#pragma once
// The record a scheduler job is called with and returns: the job id (set by
// KrGavetaScheduler2::addJob), a value free for the job's own use, and a
// status; a result with status 1 makes the job run again after its delay.
// Derive from it to carry more.

#include <cstdint>

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
