#include "foundation/KrGavetaJobParametersAndResult.h"

KrGavetaJobParametersAndResult::KrGavetaJobParametersAndResult(int status, uint64_t value)
    : _value(value), _status(status) {}

KrGavetaJobParametersAndResult::~KrGavetaJobParametersAndResult() = default;

KrGavetaJobParametersAndResult* KrGavetaJobParametersAndResult::copyFrom(
    const KrGavetaJobParametersAndResult& other) {
    _jobId = other._jobId;
    _value = other._value;
    return this;
}
