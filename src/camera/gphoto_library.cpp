// libgphoto2, opened on the first camera call (see support/shared_library.h).
#include <gphoto2/gphoto2.h>

#include "support/shared_library.h"

namespace {

brisko::SharedLibrary& GphotoLibrary() {
  static brisko::SharedLibrary library(BRISKO_GPHOTO2_LIBRARY);
  return library;
}

}  // namespace

BRISKO_FORWARD(GphotoLibrary(), int, gp_abilities_list_detect,
               (CameraAbilitiesList * a0, GPPortInfoList* a1, CameraList* a2, GPContext* a3),
               (a0, a1, a2, a3), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_abilities_list_get_abilities,
               (CameraAbilitiesList * a0, int a1, CameraAbilities* a2), (a0, a1, a2), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_abilities_list_load, (CameraAbilitiesList * a0, GPContext* a1),
               (a0, a1), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_abilities_list_lookup_model,
               (CameraAbilitiesList * a0, const char* a1), (a0, a1), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_abilities_list_new, (CameraAbilitiesList * *a0), (a0),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_exit, (Camera * a0, GPContext* a1), (a0, a1), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_file_delete,
               (Camera * a0, const char* a1, const char* a2, GPContext* a3), (a0, a1, a2, a3),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_file_get,
               (Camera * a0, const char* a1, const char* a2, CameraFileType a3, CameraFile* a4,
                GPContext* a5),
               (a0, a1, a2, a3, a4, a5), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_file_get_info,
               (Camera * a0, const char* a1, const char* a2, CameraFileInfo* a3, GPContext* a4),
               (a0, a1, a2, a3, a4), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_folder_list_files,
               (Camera * a0, const char* a1, CameraList* a2, GPContext* a3), (a0, a1, a2, a3),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_folder_list_folders,
               (Camera * a0, const char* a1, CameraList* a2, GPContext* a3), (a0, a1, a2, a3),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_folder_put_file,
               (Camera * a0, const char* a1, const char* a2, CameraFileType a3, CameraFile* a4,
                GPContext* a5),
               (a0, a1, a2, a3, a4, a5), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_get_single_config,
               (Camera * a0, const char* a1, CameraWidget** a2, GPContext* a3), (a0, a1, a2, a3),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_init, (Camera * a0, GPContext* a1), (a0, a1), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_new, (Camera * *a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_set_abilities, (Camera * a0, CameraAbilities a1), (a0, a1),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_set_port_info, (Camera * a0, GPPortInfo a1), (a0, a1),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_unref, (Camera * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_camera_wait_for_event,
               (Camera * a0, int a1, CameraEventType* a2, void** a3, GPContext* a4), (a0, a1, a2, a3, a4),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), GPContext*, gp_context_new, (), (), nullptr)
BRISKO_FORWARD_VOID(GphotoLibrary(), gp_context_unref, (GPContext * a0), (a0))
BRISKO_FORWARD(GphotoLibrary(), int, gp_file_append, (CameraFile * a0, const char* a1, unsigned long int a2),
               (a0, a1, a2), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_file_free, (CameraFile * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_file_new, (CameraFile * *a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_file_new_from_handler,
               (CameraFile * *a0, CameraFileHandler* a1, void* a2), (a0, a1, a2), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_file_set_name, (CameraFile * a0, const char* a1), (a0, a1),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_filesystem_reset, (CameraFilesystem * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_list_count, (CameraList * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_list_free, (CameraList * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_list_get_name, (CameraList * a0, int a1, const char** a2),
               (a0, a1, a2), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_list_get_value, (CameraList * a0, int a1, const char** a2),
               (a0, a1, a2), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_list_new, (CameraList * *a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_list_reset, (CameraList * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_port_info_list_free, (GPPortInfoList * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_port_info_list_get_info,
               (GPPortInfoList * a0, int a1, GPPortInfo* a2), (a0, a1, a2), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_port_info_list_load, (GPPortInfoList * a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_port_info_list_lookup_path, (GPPortInfoList * a0, const char* a1),
               (a0, a1), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_port_info_list_new, (GPPortInfoList * *a0), (a0), GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), const char*, gp_result_as_string, (int a0), (a0),
               GphotoLibrary().Error().c_str())
BRISKO_FORWARD(GphotoLibrary(), int, gp_widget_get_type, (CameraWidget * a0, CameraWidgetType* a1), (a0, a1),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_widget_get_value, (CameraWidget * a0, void* a1), (a0, a1),
               GP_ERROR_LIBRARY)
BRISKO_FORWARD(GphotoLibrary(), int, gp_widget_free, (CameraWidget * a0), (a0), GP_ERROR_LIBRARY)
