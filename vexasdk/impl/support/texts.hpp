// Texts that the support layer raises or logs, each written once.
#pragma once

namespace vx::texts {

inline constexpr char kArgCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kArgType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
inline constexpr char kNoArgs[] = "%.200s() takes no arguments (%zd given)";
inline constexpr char kNoKeywords[] = "%.200s() takes no keyword arguments";

inline constexpr char kNegativeToUnsigned[] = "can't convert negative value to %s";
inline constexpr char kTooLarge[] = "value too large to convert to %s";
inline constexpr char kIntegerRequired[] = "an integer is required";

inline constexpr char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr char kCannotInstantiate[] = "This class cannot be instantiated directly.";

inline constexpr char kMissingExport[] = "%.200s does not export expected C %.8s %.200s";
inline constexpr char kWrongSignature[] = "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";
inline constexpr char kInvalidVtable[] = "invalid vtable found for imported type";
inline constexpr char kNotAType[] = "%.200s.%.200s is not a type object";
inline constexpr char kSizeChanged[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
    "PyObject";
inline constexpr char kInitialisedTwice[] = "%.200s can only be initialised once per process";

inline constexpr char kDataCallbackFailed[] = "Failed to execute acquisition data callback.";
// The audit event a failed fetch raises, with the callback's callable.
inline constexpr char kFetchFailedEvent[] = "vexasdk.fetch_failed";
inline constexpr char kNoDataCallback[] = "the SDK delivered a data block without the registered callback";
inline constexpr char kLoggerName[] = "vexasdk";

}  // namespace vx::texts
