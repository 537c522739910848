/* Visibility and linkage of the SDK's C interface. */
#ifndef VEXASDK_API_H
#define VEXASDK_API_H

#ifdef __cplusplus
#define VEXASDK_EXTERN_C extern "C"
#else
#define VEXASDK_EXTERN_C
#endif

#define VEXASDK_API VEXASDK_EXTERN_C __attribute__((visibility("default")))

/* The enumerations are 32-bit in C. C++ gives them the same width as a
 * fixed underlying type, so that any value a caller passes (one that names
 * no enumerator included) is a valid value of the type there too. */
#ifdef __cplusplus
#define VEXASDK_ENUM_BASE(type) : type
#else
#define VEXASDK_ENUM_BASE(type)
#endif

/* Records are checked where they are declared, in C and C++ alike. */
#ifdef __cplusplus
#define VEXASDK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define VEXASDK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif
