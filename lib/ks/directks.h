#pragma once

// The kernel-streaming classes in one include.
#include "audfilter.h"
#include "audpin.h"
#include "enum.h"
#include "filter.h"
#include "irptgt.h"
#include "ks_tlist.h"
#include "pin.h"
