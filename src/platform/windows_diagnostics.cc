// Explaining failures on Windows: the loader's reasons and search order, file attributes and
// the system's error texts, the console's code page and conversions between code pages.
#include <windows.h>
// windows.h defines FreeModule as a macro; the platform layer has a function of that name.
#undef FreeModule

#include <algorithm>
#include <cctype>

#include "platform/diagnostics.h"

namespace vornak2::platform {

namespace {

std::string WithSeparator(std::string dir) {
  if (!dir.empty() && dir.back() != '\\' && dir.back() != '/') dir.push_back('\\');
  return dir;
}

// The code page of an encoding named as iconv names it ("CP1251", "UTF-8", "KOI8-R"); 0 when
// unknown.
UINT CodePageOf(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (name == "UTF-8" || name == "UTF8") return CP_UTF8;
  if (name == "KOI8-R") return 20866;
  if (name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII") return 20127;
  for (std::string_view prefix : {"CP", "WINDOWS-"}) {
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
      UINT page = 0;
      for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || page > 100000) return 0;
        page = page * 10 + static_cast<UINT>(name[i] - '0');
      }
      return page;
    }
  }
  return 0;
}

}  // namespace

ModuleProbe ProbeModule(const std::string& path, std::span<const std::string> symbols) {
  ModuleProbe probe;
  DWORD previous = 0;
  SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE module = LoadLibraryA(path.c_str());
  const DWORD error = GetLastError();
  SetThreadErrorMode(previous, nullptr);
  if (module == nullptr) {
    probe.reason = ErrorText(static_cast<int>(error));
    return probe;
  }
  probe.loaded = true;
  for (const std::string& name : symbols)
    if (GetProcAddress(module, name.c_str()) == nullptr) probe.missing.push_back(name);
  return probe;
}

std::vector<std::string> LoaderSearchDirectories(ModuleHandle) {
  // The standard search order of LoadLibrary for a bare name: the program's directory, the system
  // directory, the Windows directory, the current directory, then the Path directories.
  std::vector<std::string> dirs;
  const std::string exe = ExecutablePath();
  if (const auto slash = exe.find_last_of("\\/"); slash != std::string::npos)
    dirs.push_back(exe.substr(0, slash + 1));
  char buffer[MAX_PATH];
  if (UINT n = GetSystemDirectoryA(buffer, MAX_PATH); n > 0 && n < MAX_PATH)
    dirs.push_back(WithSeparator(std::string(buffer, n)));
  if (UINT n = GetWindowsDirectoryA(buffer, MAX_PATH); n > 0 && n < MAX_PATH)
    dirs.push_back(WithSeparator(std::string(buffer, n)));
  if (DWORD n = GetCurrentDirectoryA(MAX_PATH, buffer); n > 0 && n < MAX_PATH)
    dirs.push_back(WithSeparator(std::string(buffer, n)));
  if (auto path = GetEnv(kSearchPathVariable)) {
    std::size_t start = 0;
    while (start <= path->size()) {
      const std::size_t end = std::min(path->find(kSearchListSeparator, start), path->size());
      if (end > start) dirs.push_back(WithSeparator(path->substr(start, end - start)));
      start = end + 1;
    }
  }
  return dirs;
}

FileFacts ExamineFile(const std::string& path) {
  FileFacts facts;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD code = path.empty() ? ERROR_FILE_NOT_FOUND : GetLastError();
    facts.kind =
        code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME
            ? FileKind::kMissing
            : FileKind::kInaccessible;
    facts.problem = ErrorText(static_cast<int>(code));
    return facts;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    facts.kind = FileKind::kDirectory;
    return facts;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
    facts.kind = FileKind::kOther;
    return facts;
  }
  facts.kind = FileKind::kRegular;
  facts.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    facts.problem = ErrorText(static_cast<int>(GetLastError()));
  } else {
    facts.readable = true;
    CloseHandle(file);
  }
  return facts;
}

std::string ErrorText(int code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out =
      n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
    out.pop_back();
  return out;
}

std::string LocaleEncoding() {
  // What the console shows; a program without a console writes in the ANSI code page.
  UINT page = GetConsoleOutputCP();
  if (page == 0) page = GetACP();
  if (page == CP_UTF8) return "UTF-8";
  if (page == 20127) return "ANSI_X3.4-1968";
  return "CP" + std::to_string(page);
}

std::optional<std::string> ConvertText(std::string_view text, const std::string& from,
                                       const std::string& to) {
  const UINT source = CodePageOf(from), target = CodePageOf(to);
  if (source == 0 || target == 0 || !IsValidCodePage(source) || !IsValidCodePage(target))
    return std::nullopt;
  if (text.empty()) return std::string();
  const int inSize = static_cast<int>(std::min<std::size_t>(text.size(), 1u << 28));
  const int wide = MultiByteToWideChar(source, 0, text.data(), inSize, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  std::wstring middle(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(source, 0, text.data(), inSize, middle.data(), wide);
  // A character the target lacks becomes "?" (the UTF-8 conversion takes no default character).
  const char* fallback = target == CP_UTF8 ? nullptr : "?";
  const int outSize =
      WideCharToMultiByte(target, 0, middle.data(), wide, nullptr, 0, fallback, nullptr);
  if (outSize <= 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(outSize), '\0');
  WideCharToMultiByte(target, 0, middle.data(), wide, out.data(), outSize, fallback, nullptr);
  return out;
}

}  // namespace vornak2::platform
