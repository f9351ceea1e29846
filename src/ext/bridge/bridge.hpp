// The one place that knows how client answers look and how result frames are built.
// Every binding file includes this header first.
#pragma once

#include "module.hpp"
#include "errors.hpp"
#include "arrays.hpp"
#include "labels.hpp"
#include "frames.hpp"
#include "results.hpp"
