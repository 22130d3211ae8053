#pragma once

#include <cstdint>

namespace engine {

// The levels of logWithLevel. A silent level is never printed; a monitored one also feeds the
// health record. Levels from 9 up are both silent and monitored.
enum KLVLogLevel : std::int64_t {
    kKLVLogError = 0,             // "ERROR"
    kKLVLogErrorMonitored = 1,    // "ERROR", and in the health record
    kKLVLogErrorSilent = 2,       // only in the health record
    kKLVLogWarning = 3,           // "WARNING"
    kKLVLogWarningMonitored = 4,  // "WARNING", and in the health record
    kKLVLogWarningSilent = 5,     // only in the health record
    kKLVLogNotice = 6,            // "NOTICE"
    kKLVLogDebug = 7,             // "DEBUG"
    kKLVLogVerbose = 8,           // only while verbose logging is on
};

}  // namespace engine
