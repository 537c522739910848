/* Software triggers. */
#ifndef VEXASDK_TRIGGER_H
#define VEXASDK_TRIGGER_H

#include "api.h"
#include "context.h"
#include "error.h"

/* Issues a trigger to the running acquisition; BAD_STATE when none runs. */
VEXASDK_API vexasdk_err_code vexasdk_trigger_now(vexasdk_dev_ctx* ctx);

#endif
