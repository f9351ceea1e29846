// The one place that knows how client answers look and how result frames are built.
// Every binding file includes this header first.
#pragma once

#include "arrays.hpp"
#include "errors.hpp"
#include "frames.hpp"
#include "labels.hpp"
#include "module.hpp"
#include "request.hpp"
#include "results.hpp"
