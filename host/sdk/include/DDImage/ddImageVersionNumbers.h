#pragma once

// Host interface version the plug-in is built against.
#define kDDImageVersion "16.1"
#define kDDImageVersionMajorNum 16
#define kDDImageVersionMinorNum 1
