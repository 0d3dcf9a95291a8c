// Planted: Qt below the application.
#include <QString>
#include <vips/vips.h>
