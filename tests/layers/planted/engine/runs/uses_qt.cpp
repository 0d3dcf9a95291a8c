// Planted: Qt below the application.
#include <vips/vips.h>

#include <QString>
