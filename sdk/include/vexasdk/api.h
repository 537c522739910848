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

/* The binary layout of a record, one line each:
 *     VEXASDK_SIZE(type, bytes);
 *     VEXASDK_LAYOUT(type, bytes, field, offset, field, offset, ...);
 * checks the size and then the offset of each field named (one to six). */
#define VEXASDK_SIZE(type, bytes) VEXASDK_STATIC_ASSERT(sizeof(type) == (bytes), #type " is " #bytes " bytes")
#define VEXASDK_LAYOUT(type, bytes, ...) \
    VEXASDK_SIZE(type, bytes);           \
    VEXASDK_FIELDS_(__VA_ARGS__, 6, -, 5, -, 4, -, 3, -, 2, -, 1, -)(type, __VA_ARGS__)
/* Picks VEXASDK_AT<n>_ for n field-offset pairs. */
#define VEXASDK_FIELDS_(f1, o1, f2, o2, f3, o3, f4, o4, f5, o5, f6, o6, n, ...) VEXASDK_AT##n##_
#define VEXASDK_AT_(type, field, offset) \
    VEXASDK_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " at " #offset)
#define VEXASDK_AT1_(t, f, o) VEXASDK_AT_(t, f, o)
#define VEXASDK_AT2_(t, f, o, ...) VEXASDK_AT_(t, f, o); VEXASDK_AT1_(t, __VA_ARGS__)
#define VEXASDK_AT3_(t, f, o, ...) VEXASDK_AT_(t, f, o); VEXASDK_AT2_(t, __VA_ARGS__)
#define VEXASDK_AT4_(t, f, o, ...) VEXASDK_AT_(t, f, o); VEXASDK_AT3_(t, __VA_ARGS__)
#define VEXASDK_AT5_(t, f, o, ...) VEXASDK_AT_(t, f, o); VEXASDK_AT4_(t, __VA_ARGS__)
#define VEXASDK_AT6_(t, f, o, ...) VEXASDK_AT_(t, f, o); VEXASDK_AT5_(t, __VA_ARGS__)

#endif
