#pragma once
// Planted: layout and naming sit on one row.
#include "naming/name_template.h"
#include "imaging/image.h"
