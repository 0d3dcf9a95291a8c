// Allowed: the imaging layer over support and libvips.
#include <vips/vips.h>
#include "support/logger.h"
