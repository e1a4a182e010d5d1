#include "tests/e2e/desktop.h"

#include <gtest/gtest.h>

#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

void Desktop::prepare(const std::string& name) {
  dir = makeTempDir(name);
  runtime = dir + "run/";
  home = dir + "home/";
  ownRuntime_ = dir + "root-run/";
  if (::getuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr) << "no user nobody to run the desktop as";
    user_ = {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nobody->pw_gid),
             "--clear-groups"};
    ::chmod(dir.c_str(), 0755);
    // XWayland's sockets go there; made by nobody it would not be root's.
    if (::mkdir("/tmp/.X11-unix", 01777) == 0) ::chmod("/tmp/.X11-unix", 01777);
    for (const std::string& d : {runtime, home}) {
      ASSERT_EQ(::mkdir(d.c_str(), 0700), 0) << d;
      ASSERT_EQ(::chown(d.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << d;
    }
  } else {
    for (const std::string& d : {runtime, home}) ASSERT_EQ(::mkdir(d.c_str(), 0700), 0) << d;
  }
  ASSERT_EQ(::mkdir(ownRuntime_.c_str(), 0700), 0);
  std::vector<std::string> busCommand{"env", "-i", "PATH=/usr/local/bin:/usr/bin:/bin"};
  for (const std::string& v : markerVariables()) busCommand.push_back(v);
  busCommand.insert(busCommand.end(), user_.begin(), user_.end());
  desktopBus_ = std::make_unique<SessionBus>(runtime, dir + "desktop-dbus.log", busCommand);
  ownBus_ = std::make_unique<SessionBus>(ownRuntime_, dir + "dbus.log");
  for (SessionBus* bus : {desktopBus_.get(), ownBus_.get()})
    ASSERT_FALSE(bus->address().empty()) << bus->describe() << "\n"
                                         << fileText(dir + "desktop-dbus.log") << fileText(dir + "dbus.log");
  setenv("DBUS_SESSION_BUS_ADDRESS", ownBus_->address().c_str(), 1);
}

std::vector<std::string> Desktop::asUser(const std::vector<std::string>& vars,
                                         const std::vector<std::string>& args) const {
  std::vector<std::string> command{"env", "-i", "PATH=/usr/local/bin:/usr/bin:/bin"};
  for (const std::string& v : markerVariables()) command.push_back(v);
  command.insert(command.end(), {"HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
                                 "DBUS_SESSION_BUS_ADDRESS=" + (desktopBus_ ? desktopBus_->address() : "")});
  command.insert(command.end(), vars.begin(), vars.end());
  command.insert(command.end(), user_.begin(), user_.end());
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

std::string Desktop::readyScript(const std::vector<std::string>& more, const std::string& then) {
  more_ = more;
  ready_ = home + "ready";
  const std::string script = dir + "ready.sh";
  std::ofstream s(script);
  s << "xhost +si:localuser:root > /dev/null || exit 1\n"
    << "printf '%s\\n' \"$WAYLAND_DISPLAY\" \"$DISPLAY\"";
  for (const std::string& v : more) s << " \"$" << v << "\"";
  s << " > '" << ready_ << ".part'\n"
    << "mv '" << ready_ << ".part' '" << ready_ << "'\n";
  if (!then.empty()) s << then << "\n";
  return script;
}

std::vector<std::string> Desktop::start(const std::vector<std::string>& command, const std::string& name) {
  compositor_ = std::make_unique<Process>(command, dir + name + ".log");
  if (!waitFor([&] { return fs::exists(ready_) || !compositor_->running(); }) || !fs::exists(ready_)) {
    failure = name + " did not start: " + compositor_->describe() + ". Its log:\n" + fileText(dir + name + ".log");
    return {};
  }
  const std::vector<std::string> told = lines(ready_);
  if (told.size() != 2 + more_.size()) {
    failure = name + "'s ready script told: " + fileText(ready_);
    return {};
  }
  waylandDisplay = told[0].rfind('/', 0) == 0 ? told[0] : runtime + told[0];
  display = told[1];
  setenv("WAYLAND_DISPLAY", waylandDisplay.c_str(), 1);
  setenv("DISPLAY", display.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", ownRuntime_.c_str(), 1);
  setenv("QT_FORCE_STDERR_LOGGING", "1", 1);  // the program's messages go to its log
  if (!xserver.open(display)) {
    failure = "cannot connect to XWayland on " + display;
    return {};
  }
  return {told.begin() + 2, told.end()};
}

Process& Desktop::add(const std::vector<std::string>& args, const std::string& log) {
  session_.push_back(std::make_unique<Process>(args, dir + log));
  return *session_.back();
}

void Desktop::stop() {
  xserver.close();
  while (!session_.empty()) session_.pop_back();
  compositor_.reset();
  desktopBus_.reset();
  ownBus_.reset();
  if (!dir.empty()) fs::remove_all(dir);
}

std::vector<std::string> Desktop::clipboardTypes() {
  const std::string out = dir + "wl-paste.out";
  fs::remove(out);
  run(typesCommand, out);
  return lines(out);
}

}  // namespace e2e
