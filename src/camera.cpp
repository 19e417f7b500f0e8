// placeholder: replaced by the camera module
#include "camera.h"
int camera_apply_settings(const CameraSettings*) { return 0; }
int32_t camera_int32_from_double(double) { return 0; }
