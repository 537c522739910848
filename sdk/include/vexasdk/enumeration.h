/* Devices the SDK can see, before any is opened. */
#ifndef VEXASDK_ENUMERATION_H
#define VEXASDK_ENUMERATION_H

#include <stddef.h>

#include "api.h"
#include "error.h"

/* Text fields are NUL-terminated within their width. */
typedef struct vexasdk_enum_info {
    char serial[16];
    char product[64];
    char connection_string[16];
    char instance_path[64];
} vexasdk_enum_info;

VEXASDK_STATIC_ASSERT(sizeof(vexasdk_enum_info) == 160, "vexasdk_enum_info is 160 bytes");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_enum_info, serial) == 0, "serial at 0");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_enum_info, product) == 16, "product at 16");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_enum_info, connection_string) == 80, "connection_string at 80");
VEXASDK_STATIC_ASSERT(offsetof(vexasdk_enum_info, instance_path) == 96, "instance_path at 96");

/* `count`: in, the capacity of `infos`; out, the records written from the
 * start of the array. */
VEXASDK_API vexasdk_err_code vexasdk_enum_get_info(vexasdk_enum_info* infos, size_t* count);

#endif
