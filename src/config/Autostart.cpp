#include "config/Autostart.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace norva::autostart {
namespace {

std::string ConfigHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "") + "/.config";
}

// One argument of an Exec line: quoted when it holds anything but plain characters, with the
// characters that quoting reserves escaped; then '%' doubled and '\' doubled for the key's value.
std::string ExecArgument(const std::string& arg) {
  bool plain = !arg.empty();
  for (unsigned char c : arg)
    if (!(std::isalnum(c) || std::strchr("/._-+=:,@", c) || c >= 0x80)) plain = false;
  std::string quoted;
  if (plain) {
    quoted = arg;
  } else {
    quoted = "\"";
    for (char c : arg) {
      if (std::strchr("\"`$\\", c)) quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  }
  std::string value;
  for (char c : quoted) {
    if (c == '%') value += '%';
    if (c == '\\') value += '\\';
    value += c;
  }
  return value;
}

std::runtime_error Failure(const std::string& what, const std::string& path, int error) {
  return std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

}  // namespace

std::string EntryPath() { return ConfigHome() + "/autostart/norva.desktop"; }

bool IsEnabled() {
  std::error_code ignored;
  return std::filesystem::exists(EntryPath(), ignored);
}

std::string EntryText(const std::string& executable, const std::string& folder) {
  std::string exec;
  if (!folder.empty()) exec = "env " + ExecArgument("NORVA_FOLDER=" + folder) + " ";
  exec += ExecArgument(executable);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Norva\n"
         "Comment=Check POP3 mailboxes for new mail and spam\n"
         "Exec=" + exec + "\n"
         "Icon=norva\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

void Enable(const std::string& executable, const std::string& folder) {
  const std::string path = EntryPath();
  const std::string dir = path.substr(0, path.rfind('/'));
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) throw Failure("Cannot create the folder", dir, error.value());
  const std::string text = EntryText(executable, folder);
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw Failure("Cannot write", temp, errno);
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : ENOSPC;
      ::close(fd);
      ::unlink(temp.c_str());
      throw Failure("Cannot write", temp, e);
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    throw Failure("Cannot write", temp, e);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    throw Failure("Cannot write", path, e);
  }
}

void Disable() {
  const std::string path = EntryPath();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw Failure("Cannot remove", path, errno);
}

std::string RunningExecutable() {
  std::error_code error;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string("norva") : path.string();
}

}  // namespace norva::autostart
