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

VEXASDK_LAYOUT(vexasdk_enum_info, 160, serial, 0, product, 16, connection_string, 80, instance_path, 96);

/* `count`: in, the capacity of `infos`; out, the records written from the
 * start of the array. */
VEXASDK_API vexasdk_err_code vexasdk_enum_get_info(vexasdk_enum_info* infos, size_t* count);

#endif
