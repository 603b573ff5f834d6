// Explaining failures on POSIX systems: the dynamic loader's reasons and search path, file status
// and errno texts, the locale's encoding and iconv.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/diagnostics.h"

namespace vornak2::platform {

ModuleProbe ProbeModule(const std::string& path, std::span<const std::string> symbols) {
  ModuleProbe probe;
  dlerror();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    probe.reason = reason != nullptr ? reason : "the loader gave no reason";
    return probe;
  }
  probe.loaded = true;
  for (const std::string& name : symbols)
    if (dlsym(module, name.c_str()) == nullptr) probe.missing.push_back(name);
  return probe;
}

std::vector<std::string> LoaderSearchDirectories(ModuleHandle module) {
  std::vector<std::string> dirs;
#if defined(__GLIBC__)
  Dl_serinfo head;
  if (module == nullptr || dlinfo(module, RTLD_DI_SERINFOSIZE, &head) != 0) return dirs;
  // The answer is one block: the header, the entries and their texts.
  std::vector<std::max_align_t> block(head.dls_size / sizeof(std::max_align_t) + 1);
  auto* info = reinterpret_cast<Dl_serinfo*>(block.data());
  info->dls_size = head.dls_size;
  info->dls_cnt = head.dls_cnt;
  if (dlinfo(module, RTLD_DI_SERINFO, info) != 0) return dirs;
  for (unsigned i = 0; i < info->dls_cnt; ++i) {
    // An empty entry stands for the current directory.
    const char* name = info->dls_serpath[i].dls_name;
    std::string dir(name != nullptr && *name != '\0' ? name : ".");
    if (dir.back() != '/') dir.push_back('/');
    dirs.push_back(std::move(dir));
  }
#else
  (void)module;
#endif
  return dirs;
}

FileFacts ExamineFile(const std::string& path) {
  FileFacts facts;
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    const int code = path.empty() ? ENOENT : errno;
    facts.kind = code == ENOENT || code == ENOTDIR ? FileKind::kMissing : FileKind::kInaccessible;
    facts.problem = ErrorText(code);
    return facts;
  }
  if (S_ISDIR(info.st_mode)) {
    facts.kind = FileKind::kDirectory;
    return facts;
  }
  if (!S_ISREG(info.st_mode)) {
    facts.kind = FileKind::kOther;
    return facts;
  }
  facts.kind = FileKind::kRegular;
  facts.size = static_cast<std::uint64_t>(info.st_size);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    facts.problem = ErrorText(errno);
  } else {
    facts.readable = true;
    ::close(fd);
  }
  return facts;
}

std::string ErrorText(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may answer with a static text instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return strerror_r(code, buffer, sizeof buffer);
#else
  if (strerror_r(code, buffer, sizeof buffer) != 0) return "error " + std::to_string(code);
  return buffer;
#endif
}

std::string LocaleEncoding() {
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return "ANSI_X3.4-1968";
  std::string encoding = nl_langinfo_l(CODESET, locale);
  freelocale(locale);
  return encoding;
}

std::optional<std::string> ConvertText(std::string_view text, const std::string& from,
                                       const std::string& to) {
  iconv_t converter = iconv_open(to.c_str(), from.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out;
  std::string input(text);
  char* in = input.data();
  std::size_t inLeft = input.size();
  char chunk[256];
  while (inLeft > 0) {
    char* outPtr = chunk;
    std::size_t outLeft = sizeof chunk;
    const std::size_t done = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    out.append(chunk, sizeof chunk - outLeft);
    if (done != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // A character the target lacks, or a byte the source does not define: "?" and go on.
    out.push_back('?');
    ++in;
    --inLeft;
  }
  // Flushes any shift state the target keeps.
  char* outPtr = chunk;
  std::size_t outLeft = sizeof chunk;
  iconv(converter, nullptr, nullptr, &outPtr, &outLeft);
  out.append(chunk, sizeof chunk - outLeft);
  iconv_close(converter);
  return out;
}

}  // namespace vornak2::platform
