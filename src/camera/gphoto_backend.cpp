// The cameras through libgphoto2; the only file that includes its headers.
#include <dirent.h>
#include <fcntl.h>
#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-port-result.h>
#include <gphoto2/gphoto2.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "camera/camera_backend.h"
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace brisko {

namespace {

using Kind = CameraStatus::Kind;

CameraStatus FromResult(int result) {
  if (result >= GP_OK) return {};
  std::string text = gp_result_as_string(result);
  switch (result) {
    case GP_ERROR_IO_USB_CLAIM:
    case GP_ERROR_IO_LOCK:
    case GP_ERROR_CAMERA_BUSY:
      return CameraStatus::Make(Kind::Busy, text);
    case GP_ERROR_FILE_NOT_FOUND:
    case GP_ERROR_DIRECTORY_NOT_FOUND:
      return CameraStatus::Make(Kind::NotFound, text);
    case GP_ERROR_NOT_SUPPORTED:
      return CameraStatus::Make(Kind::Unsupported, text);
    case GP_ERROR_IO:
    case GP_ERROR_IO_INIT:
    case GP_ERROR_IO_READ:
    case GP_ERROR_IO_WRITE:
    case GP_ERROR_IO_UPDATE:
    case GP_ERROR_IO_USB_FIND:
    case GP_ERROR_TIMEOUT:
    case GP_ERROR_UNKNOWN_PORT:
    case GP_ERROR_MODEL_NOT_FOUND:
    case GP_ERROR_CAMERA_ERROR:
      return CameraStatus::Make(Kind::Gone, text);
    default:
      return CameraStatus::Make(Kind::Failed, text);
  }
}

// The body's serial number as the camera reports it (PTP cameras: "serialnumber"); empty
// where it gives none. Bounded: a camera's answer is cut at a sane length.
std::string SerialOf(Camera* camera, GPContext* context) {
  CameraWidget* widget = nullptr;
  if (gp_camera_get_single_config(camera, "serialnumber", &widget, context) < GP_OK || !widget) return {};
  std::string serial;
  CameraWidgetType type{};
  const char* value = nullptr;
  if (gp_widget_get_type(widget, &type) >= GP_OK && type == GP_WIDGET_TEXT &&
      gp_widget_get_value(widget, &value) >= GP_OK && value)
    serial.assign(value, strnlen(value, 128));
  gp_widget_free(widget);
  // A blank or all-zero serial tells one body from no other.
  if (serial.find_first_not_of(" 0") == std::string::npos) serial.clear();
  return serial;
}

// Looking for cameras and opening one load driver libraries and scan the buses, which
// libgphoto2 does not guard against two threads at once: one at a time, and a caller that
// waits too long (a sick device holds the scan) gives up rather than pile up behind it.
std::timed_mutex& LibraryLock() {
  static std::timed_mutex lock;
  return lock;
}
constexpr auto kLibraryWait = std::chrono::seconds(8);

CameraStatus LibraryBusy() {
  return CameraStatus::Make(Kind::Failed, "another camera search has not ended");
}

// libgphoto2's camera drivers lose a few bytes here and there (reading their tables, opening a
// camera); a sanitized test build's leak check is not about them.
struct IgnoreDriverLeaks {
#if defined(__SANITIZE_ADDRESS__)
  IgnoreDriverLeaks() {
    __lsan_disable();
  }
  ~IgnoreDriverLeaks() {
    __lsan_enable();
  }
#else
  IgnoreDriverLeaks() {}
  ~IgnoreDriverLeaks() {}
#endif
  IgnoreDriverLeaks(const IgnoreDriverLeaks&) = delete;
  IgnoreDriverLeaks& operator=(const IgnoreDriverLeaks&) = delete;
};

// The driver and port tables are loaded once: reading every camera driver takes a while.
// Used under LibraryLock().
struct Tables {
  CameraAbilitiesList* abilities = nullptr;
  GPPortInfoList* ports = nullptr;
  int loaded = GP_ERROR;
};

Tables& SharedTables(GPContext* context) {
  static Tables tables;
  if (tables.loaded < GP_OK) {
    if (!tables.abilities) gp_abilities_list_new(&tables.abilities);
    if (!tables.ports) gp_port_info_list_new(&tables.ports);
    tables.loaded = gp_abilities_list_load(tables.abilities, context);
    if (tables.loaded >= GP_OK) tables.loaded = gp_port_info_list_load(tables.ports);
  }
  return tables;
}

struct DownloadSink {
  const std::function<bool(const char*, size_t)>* sink;
};

int SinkSize(void*, uint64_t* size) {
  *size = 0;
  return GP_OK;
}
int SinkRead(void*, unsigned char*, uint64_t* len) {
  *len = 0;
  return GP_ERROR_NOT_SUPPORTED;
}
int SinkWrite(void* priv, unsigned char* data, uint64_t* len) {
  auto* self = static_cast<DownloadSink*>(priv);
  return (*self->sink)(reinterpret_cast<const char*>(data), static_cast<size_t>(*len)) ? GP_OK
                                                                                       : GP_ERROR_IO_WRITE;
}

class GphotoDevice : public CameraDevice {
 public:
  GphotoDevice(Camera* camera, GPContext* context, bool events, bool uploads, std::string diskRoot,
               std::string serial)
      : m_camera(camera),
        m_context(context),
        m_events(events),
        m_uploads(uploads),
        m_diskRoot(std::move(diskRoot)),
        m_serial(std::move(serial)) {}
  ~GphotoDevice() override {
    IgnoreDriverLeaks ignore;
    gp_camera_exit(m_camera, m_context);
    gp_camera_unref(m_camera);
    gp_context_unref(m_context);
  }

  CameraStatus ListFolder(const std::string& folder, std::vector<std::string>& files,
                          std::vector<std::string>& folders) override {
    IgnoreDriverLeaks ignore;
    CameraList* list = nullptr;
    gp_list_new(&list);
    int r = gp_camera_folder_list_files(m_camera, folder.c_str(), list, m_context);
    for (int i = 0; r >= GP_OK && i < gp_list_count(list); ++i) {
      const char* name = nullptr;
      if (gp_list_get_name(list, i, &name) >= GP_OK && name) files.emplace_back(name);
    }
    if (r >= GP_OK) {
      gp_list_reset(list);
      r = gp_camera_folder_list_folders(m_camera, folder.c_str(), list, m_context);
      for (int i = 0; r >= GP_OK && i < gp_list_count(list); ++i) {
        const char* name = nullptr;
        if (gp_list_get_name(list, i, &name) >= GP_OK && name) folders.emplace_back(name);
      }
    }
    gp_list_free(list);
    if (r >= GP_OK && !m_diskRoot.empty()) AddDiskIdTxt(folder, files);
    return FromResult(r);
  }

  CameraStatus Stat(const std::string& folder, const std::string& name, CameraFileStat& stat) override {
    IgnoreDriverLeaks ignore;
    if (IsDiskIdTxt(name)) {
      struct stat st {};
      if (::stat(DiskPath(folder, name).c_str(), &st) != 0)
        return CameraStatus::Make(Kind::NotFound, "no such file");
      stat.size = uint64_t(st.st_size);
      stat.modTime = st.st_mtime;
      return {};
    }
    CameraFileInfo info{};
    const int r = gp_camera_file_get_info(m_camera, folder.c_str(), name.c_str(), &info, m_context);
    if (r < GP_OK) return FromResult(r);
    stat.size = (info.file.fields & GP_FILE_INFO_SIZE) ? info.file.size : 0;
    stat.modTime = (info.file.fields & GP_FILE_INFO_MTIME) ? static_cast<int64_t>(info.file.mtime) : 0;
    return {};
  }

  CameraStatus Download(const std::string& folder, const std::string& name,
                        const std::function<bool(const char*, size_t)>& sink) override {
    IgnoreDriverLeaks ignore;
    if (IsDiskIdTxt(name)) {
      const int fd = ::open(DiskPath(folder, name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      if (fd < 0) return CameraStatus::Make(Kind::NotFound, "no such file");
      char buffer[4096];
      ssize_t n = 0;
      bool ok = true;
      while (ok && (n = ::read(fd, buffer, sizeof buffer)) > 0) ok = sink(buffer, size_t(n));
      ::close(fd);
      return ok && n == 0 ? CameraStatus{} : CameraStatus::Make(Kind::Failed, "reading the file failed");
    }
    // A handler file streams the bytes to us as they come instead of holding the photo whole.
    CameraFileHandler handler{SinkSize, SinkRead, SinkWrite};
    DownloadSink priv{&sink};
    CameraFile* file = nullptr;
    int r = gp_file_new_from_handler(&file, &handler, &priv);
    if (r < GP_OK) return FromResult(r);
    r = gp_camera_file_get(m_camera, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file, m_context);
    gp_file_free(file);
    return FromResult(r);
  }

  CameraStatus Delete(const std::string& folder, const std::string& name) override {
    IgnoreDriverLeaks ignore;
    if (IsDiskIdTxt(name)) {
      return ::unlink(DiskPath(folder, name).c_str()) == 0 || errno == ENOENT
                 ? CameraStatus{}
                 : CameraStatus::Make(Kind::Failed, std::strerror(errno));
    }
    return FromResult(gp_camera_file_delete(m_camera, folder.c_str(), name.c_str(), m_context));
  }

  CameraStatus Upload(const std::string& folder, const std::string& name, const std::string& data) override {
    IgnoreDriverLeaks ignore;
    CameraFile* file = nullptr;
    int r = gp_file_new(&file);
    if (r < GP_OK) return FromResult(r);
    r = gp_file_append(file, data.data(), data.size());
    if (r >= GP_OK) {
      gp_file_set_name(file, name.c_str());
      r = gp_camera_folder_put_file(m_camera, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file,
                                    m_context);
    }
    gp_file_free(file);
    return FromResult(r);
  }

  CameraStatus WaitForEvent(int timeoutMs, CameraEvent& event) override {
    IgnoreDriverLeaks ignore;
    event = {};
    CameraEventType type = GP_EVENT_UNKNOWN;
    void* data = nullptr;
    const int r = gp_camera_wait_for_event(m_camera, timeoutMs, &type, &data, m_context);
    if (r < GP_OK) return FromResult(r);
    switch (type) {
      case GP_EVENT_FILE_ADDED:
      case GP_EVENT_FOLDER_ADDED: {
        const auto* path = static_cast<CameraFilePath*>(data);
        event.kind =
            type == GP_EVENT_FILE_ADDED ? CameraEvent::Kind::FileAdded : CameraEvent::Kind::FolderAdded;
        if (path) {
          event.folder = path->folder;
          event.name = path->name;
        }
        break;
      }
      case GP_EVENT_TIMEOUT:
        event.kind = CameraEvent::Kind::None;
        break;
      default:
        event.kind = CameraEvent::Kind::Other;
        break;
    }
    std::free(data);
    return {};
  }

  CameraStatus ForgetCache() override { return FromResult(gp_filesystem_reset(m_camera->fs)); }

  std::string Serial() const override { return m_serial; }
  bool HasEvents() const override { return m_events; }
  bool CanUpload() const override { return m_uploads; }

 private:
  // The Directory Browse driver shows pictures only; a folder's ID.TXT is what a card would
  // hold at the same place, so it is read and removed beside the driver.
  bool IsDiskIdTxt(const std::string& name) const {
    return !m_diskRoot.empty() && ::strcasecmp(name.c_str(), "ID.TXT") == 0;
  }
  std::string DiskPath(const std::string& folder, const std::string& name) const {
    return m_diskRoot + (folder == "/" ? "" : folder) + "/" + name;
  }
  void AddDiskIdTxt(const std::string& folder, std::vector<std::string>& files) const {
    DIR* dir = ::opendir((m_diskRoot + folder).c_str());
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir)) {
      if (::strcasecmp(entry->d_name, "ID.TXT") != 0) continue;
      bool listed = false;
      for (const std::string& f : files) listed = listed || f == entry->d_name;
      if (!listed) files.emplace_back(entry->d_name);
    }
    ::closedir(dir);
  }

  Camera* m_camera;
  GPContext* m_context;
  bool m_events;
  bool m_uploads;
  std::string m_diskRoot;  // the folder of a Directory Browse camera, "" for others
  std::string m_serial;
};

class GphotoBackend : public CameraBackend {
 public:
  CameraStatus Detect(std::vector<CameraInfo>& cameras) override {
    IgnoreDriverLeaks ignore;
    // The driver table is read once; the ports are read afresh, since cameras come and go.
    std::unique_lock<std::timed_mutex> library(LibraryLock(), kLibraryWait);
    if (!library.owns_lock()) return LibraryBusy();
    GPContext* context = gp_context_new();
    Tables& tables = SharedTables(context);
    int r = tables.loaded;
    GPPortInfoList* ports = nullptr;
    CameraList* list = nullptr;
    gp_list_new(&list);
    if (r >= GP_OK) r = gp_port_info_list_new(&ports);
    if (r >= GP_OK) r = gp_port_info_list_load(ports);
    if (r >= GP_OK) r = gp_abilities_list_detect(tables.abilities, ports, list, context);
    for (int i = 0; r >= GP_OK && i < gp_list_count(list); ++i) {
      const char* model = nullptr;
      const char* port = nullptr;
      gp_list_get_name(list, i, &model);
      gp_list_get_value(list, i, &port);
      // A mounted card or USB disk with a DCIM folder shows as a "Mass Storage Camera" on a
      // disk: port: it is a folder, taken as a folder source, never as "the first camera" (it
      // may be any mount, another program's included). The bare "usb:" entry is no camera.
      const std::string at = port ? port : "";
      if (model && !at.empty() && at != "usb:" && at.rfind("disk:", 0) != 0) cameras.push_back({model, at});
    }
    gp_list_free(list);
    if (ports) gp_port_info_list_free(ports);
    gp_context_unref(context);
    return FromResult(r);
  }

  CameraStatus Open(const CameraInfo& info, std::unique_ptr<CameraDevice>& device) override {
    IgnoreDriverLeaks ignore;
    std::unique_lock<std::timed_mutex> library(LibraryLock(), kLibraryWait);
    if (!library.owns_lock()) return LibraryBusy();
    GPContext* context = gp_context_new();
    Tables& tables = SharedTables(context);
    Camera* camera = nullptr;
    bool uploads = false;
    int r = tables.loaded;
    if (r >= GP_OK) r = gp_camera_new(&camera);
    if (r >= GP_OK) {
      CameraAbilities abilities{};
      int index = gp_abilities_list_lookup_model(tables.abilities, info.model.c_str());
      r = index;
      if (index >= GP_OK) r = gp_abilities_list_get_abilities(tables.abilities, index, &abilities);
      if (r >= GP_OK) r = gp_camera_set_abilities(camera, abilities);
      uploads = (abilities.folder_operations & GP_FOLDER_OPERATION_PUT_FILE) != 0;
      if (r >= GP_OK) {
        index = gp_port_info_list_lookup_path(tables.ports, info.port.c_str());
        r = index;
      }
      GPPortInfo port;
      if (r >= GP_OK) r = gp_port_info_list_get_info(tables.ports, index, &port);
      if (r >= GP_OK) r = gp_camera_set_port_info(camera, port);
    }
    if (r >= GP_OK) r = gp_camera_init(camera, context);
    if (r < GP_OK) {
      if (camera) gp_camera_unref(camera);
      gp_context_unref(context);
      return FromResult(r);
    }
    const bool disk = info.port.rfind("disk:", 0) == 0;
    device = std::make_unique<GphotoDevice>(camera, context, !disk, uploads,
                                            disk ? info.port.substr(5) : std::string(),
                                            disk ? std::string() : SerialOf(camera, context));
    return {};
  }
};

}  // namespace

std::shared_ptr<CameraBackend> MakeGphotoBackend() {
  return std::make_shared<GphotoBackend>();
}

}  // namespace brisko
