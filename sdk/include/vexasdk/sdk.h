/* The whole SDK interface. */
#ifndef VEXASDK_SDK_H
#define VEXASDK_SDK_H

#include "acquisition.h"
#include "bias.h"
#include "chip.h"
#include "context.h"
#include "device.h"
#include "enumeration.h"
#include "error.h"
#include "monitor.h"
#include "trigger.h"

#endif
