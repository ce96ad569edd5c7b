#pragma once
// Everything a format plug-in of this repository compiles in around its codec (the library
// vt_sdk_kit): its exports and their firewall (exports.h), files by the host's UTF-16 path
// (paths.h), the call record's services (calls.h), metadata (markup.h) and the print
// resolution (resolution.h). The kit uses nothing of the host but the SDK headers, like the
// plug-ins themselves.

#include "sdk/kit/calls.h"
#include "sdk/kit/exports.h"
#include "sdk/kit/markup.h"
#include "sdk/kit/paths.h"
#include "sdk/kit/resolution.h"
