// Run-time loading of shared objects and the paths of the loaded program and modules.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vornak2::platform {

ModuleHandle LoadModule(const std::string& path) noexcept {
  // dlopen(nullptr) would hand back the main program; an empty name loads nothing.
  if (path.empty()) return nullptr;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(ModuleHandle module, const char* name) noexcept {
  if (module == nullptr || name == nullptr) return nullptr;
  return dlsym(module, name);
}

void FreeModule(ModuleHandle module) noexcept {
  if (module != nullptr) dlclose(module);
}

std::string ExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    // The link may have been truncated: try again with more room.
    if (buffer.size() >= (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

namespace {

struct ModuleSearch {
  std::string_view fileName;
  std::string found;
};

// What a dl_iterate_phdr callback answers: go on with the next module, or stop.
constexpr int kNextModule = 0;
constexpr int kStopSearch = 1;

int VisitModule(dl_phdr_info* info, std::size_t /*size*/, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return kNextModule;
  const std::string_view path(info->dlpi_name);
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name != search->fileName) return kNextModule;
  search->found.assign(path);
  return kStopSearch;
}

}  // namespace

std::string LoadedModulePath(std::string_view fileName) {
  if (!fileName.empty()) {
    ModuleSearch search{fileName, {}};
    dl_iterate_phdr(VisitModule, &search);
    if (!search.found.empty()) {
      // The loader reports the path the module was opened with. An absolute one is kept as it is
      // (resolving a versioned link could name another directory); a relative one is resolved.
      if (search.found.front() == '/') return search.found;
      std::string canonical = CanonicalPath(search.found);
      return canonical.empty() ? search.found : canonical;
    }
  }
  return ExecutablePath();
}

std::string OwnModulePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&OwnModulePath), &info) == 0 ||
      info.dli_fname == nullptr || info.dli_fname[0] == '\0')
    return ExecutablePath();
  const std::string path(info.dli_fname);
  // The main program is reported by the name it was started with; a library by the path it was
  // opened with, which may be relative.
  if (path.front() == '/') return path;
  std::string canonical = CanonicalPath(path);
  return canonical.empty() ? ExecutablePath() : canonical;
}

}  // namespace vornak2::platform
