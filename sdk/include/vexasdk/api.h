/* Visibility and linkage of the SDK's C interface. */
#ifndef VEXASDK_API_H
#define VEXASDK_API_H

#ifdef __cplusplus
#define VEXASDK_EXTERN_C extern "C"
#else
#define VEXASDK_EXTERN_C
#endif

#define VEXASDK_API VEXASDK_EXTERN_C __attribute__((visibility("default")))

/* Records are checked where they are declared, in C and C++ alike. */
#ifdef __cplusplus
#define VEXASDK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VEXASDK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif
