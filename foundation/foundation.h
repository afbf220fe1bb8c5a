#pragma once
// The runtime foundation: errors, strings, files, logger, URL, dates, jobs, registry, thread pool.
// One include for an application that uses this library.

#include "foundation/CharBuffer.h"
#include "foundation/KrAdaptiveMutex.h"
#include "foundation/KrCombinedTask.h"
#include "foundation/KrDatum.h"
#include "foundation/KrException.h"
#include "foundation/KrFileHandle.h"
#include "foundation/KrFileUtils.h"
#include "foundation/KrGavetaJobAtttributes.h"
#include "foundation/KrGavetaJobParametersAndResult.h"
#include "foundation/KrGavetaScheduler2.h"
#include "foundation/KrJob.h"
#include "foundation/KrJobMessage.h"
#include "foundation/KrJobWithTimeout.h"
#include "foundation/KrLogger.h"
#include "foundation/KrRetryInterrupted.h"
#include "foundation/KrStringBuf.h"
#include "foundation/KrStringSplit.h"
#include "foundation/KrStringUtils.h"
#include "foundation/KrURL.h"
#include "foundation/KrUniqueIdSource.h"
