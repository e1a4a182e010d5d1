// The Debian package as a user gets it: unpacked into a scratch root, its
// files checked and validated, and the installed program run under Xvfb by
// an unprivileged user ("nobody" when the tests run as root, else the user
// running them) with a home directory of its own.
//
// Usage: package_tests DIR, where DIR holds the package (pixkeep_*.deb) that
// scripts/package.sh built.
#include <gtest/gtest.h>

#include <QImage>
#include <QString>
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/harness.h"

namespace {

namespace fs = std::filesystem;
using namespace e2e;

testing::Environment* const env = testing::AddGlobalTestEnvironment(new XvfbEnvironment);

std::string packageDirectory;  // from the command line

// The user the installed program runs as, and how to become it.
struct User {
  uid_t uid = getuid();
  gid_t gid = getgid();
  std::vector<std::string> become;  // the command prefix that runs a program as the user
};

User testUser() {
  User user;
  if (geteuid() != 0) return user;  // already unprivileged
  const passwd* nobody = getpwnam("nobody");
  if (!nobody) return user;
  user.uid = nobody->pw_uid;
  user.gid = nobody->pw_gid;
  user.become = {"setpriv", "--reuid=" + std::to_string(user.uid), "--regid=" + std::to_string(user.gid),
                 "--clear-groups"};
  return user;
}

// Every file and directory below `root` with its size and modification time.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    files[e.path().string()] = std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
                               std::to_string(st.st_mtim.tv_nsec);
  }
  return files;
}

class Package : public testing::Test {
 protected:
  void SetUp() override { markTestCase(); }
  static void SetUpTestSuite() {
    std::vector<std::string> debs;
    if (fs::is_directory(packageDirectory))
      for (const auto& e : fs::directory_iterator(packageDirectory))
        if (e.path().extension() == ".deb") debs.push_back(e.path());
    ASSERT_EQ(debs.size(), 1u) << "one package in " << packageDirectory;
    deb = debs[0];
    scratch = makeTempDir("pixkeep-package");
    fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    tree = scratch + "root/";
    ASSERT_EQ(run({"dpkg-deb", "-x", deb, tree}, scratch + "dpkg.log"), 0) << fileText(scratch + "dpkg.log");
  }
  static void TearDownTestSuite() { fs::remove_all(scratch); }

  // Runs a command; its exit code, with its output in `output`.
  static int command(const std::vector<std::string>& args, std::string& output) {
    const std::string log = scratch + "command.log";
    fs::remove(log);
    const int rc = run(args, log);
    output = fileText(log);
    return rc;
  }

  static std::string deb, scratch, tree;
};
std::string Package::deb, Package::scratch, Package::tree;

TEST_F(Package, NameControlFieldsAndDependencies) {
  std::string arch;
  ASSERT_EQ(command({"dpkg", "--print-architecture"}, arch), 0);
  arch.erase(arch.find_last_not_of('\n') + 1);
  EXPECT_EQ(fs::path(deb).filename().string(), "pixkeep_" PIXKEEP_VERSION "_" + arch + ".deb");
  std::string control;
  ASSERT_EQ(command({"dpkg-deb", "-f", deb}, control), 0);
  // The project has no web site and no mail address: no Homepage field, and
  // the Maintainer's address is under the domain reserved never to exist.
  for (const char* line : {"Package: pixkeep", "Version: " PIXKEEP_VERSION, "Section: graphics",
                           "Maintainer: The Pixkeep developers <nobody@pixkeep.invalid>"})
    EXPECT_NE(control.find(std::string("\n") + line + "\n"), std::string::npos) << line << " in\n" << control;
  EXPECT_EQ(control.find("\nHomepage:"), std::string::npos) << control;
  EXPECT_NE(control.find("\nDescription: save every picture copied to the clipboard as a file\n While Pixkeep runs,"),
            std::string::npos) << control;
  // From the libraries the program links, each with its version (dpkg-shlibdeps).
  const size_t depends = control.find("\nDepends: ");
  ASSERT_NE(depends, std::string::npos) << control;
  const std::string line = control.substr(depends, control.find('\n', depends + 1) - depends);
  for (const char* library : {"libc6 (>=", "libqt6widgets6 (>=", "libqt6network6 (>=", "libjpeg62-turbo (>=",
                              "libfreetype6 (>=", "libxcb-xfixes0", "zlib1g (>=", "fonts-liberation"})
    EXPECT_NE(line.find(library), std::string::npos) << library << " in" << line;
}

TEST_F(Package, InstalledFiles) {
  const char* files[] = {
      "usr/bin/pixkeep", "usr/share/pixkeep/lang/english.ini", "usr/share/pixkeep/lang/deutsch.ini",
      "usr/share/pixkeep/pixkeep.hlp", "usr/share/applications/pixkeep.desktop",
      "usr/share/metainfo/org.pixkeep.pixkeep.metainfo.xml", "usr/share/icons/hicolor/scalable/apps/pixkeep.svg",
      "usr/share/doc/pixkeep/copyright", "usr/share/doc/pixkeep/changelog.gz", "usr/share/man/man1/pixkeep.1.gz",
  };
  for (const char* f : files) EXPECT_TRUE(fs::is_regular_file(tree + f)) << f;
  EXPECT_EQ(fs::status(tree + "usr/bin/pixkeep").permissions() & fs::perms::others_exec, fs::perms::others_exec);
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    const std::string icon = tree + "usr/share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size) +
                             "/apps/pixkeep.png";
    const QImage image(QString::fromStdString(icon));
    EXPECT_EQ(image.size(), QSize(size, size)) << icon;
    EXPECT_TRUE(image.hasAlphaChannel()) << icon;
  }
  const std::string svg = fileText(tree + "usr/share/icons/hicolor/scalable/apps/pixkeep.svg");
  EXPECT_NE(svg.find("viewBox=\"0 0 64 64\""), std::string::npos) << svg.substr(0, 300);
}

TEST_F(Package, DesktopEntryAndMetainfoAreValid) {
  const std::string desktop = tree + "usr/share/applications/pixkeep.desktop";
  std::string output;
  EXPECT_EQ(command({"desktop-file-validate", desktop}, output), 0) << output;
  EXPECT_EQ(output.find("error"), std::string::npos) << output;
  for (const char* line : {"Exec=pixkeep", "Icon=pixkeep", "Categories=Graphics;Utility;", "Type=Application"})
    EXPECT_TRUE(hasLine(desktop, line)) << line;
  const std::string metainfo = tree + "usr/share/metainfo/org.pixkeep.pixkeep.metainfo.xml";
  EXPECT_EQ(command({"appstreamcli", "validate", "--no-net", "--pedantic", metainfo}, output), 0) << output;
  const std::string xml = fileText(metainfo);
  for (const char* part : {"<launchable type=\"desktop-id\">pixkeep.desktop</launchable>",
                           "<project_license>GPL-3.0-or-later</project_license>",
                           "<release version=\"" PIXKEEP_VERSION "\""})
    EXPECT_NE(xml.find(part), std::string::npos) << part;
  // No address the project does not have: no home page, contact or screenshot.
  for (const char* part : {"<url", "<update_contact", "<screenshot", "@", "://"})
    EXPECT_EQ(xml.find(part), std::string::npos) << part;
}

TEST_F(Package, LicenceIsStatedInMachineReadableForm) {
  const std::string copyright = tree + "usr/share/doc/pixkeep/copyright";
  EXPECT_TRUE(hasLine(copyright, "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"));
  for (const char* line : {"Files: *", "License: GPL-3.0-or-later", "License: FSFAP"})
    EXPECT_TRUE(hasLine(copyright, line)) << line << " in\n" << fileText(copyright);
  const std::string text = fileText(copyright);
  EXPECT_NE(text.find("/usr/share/common-licenses/GPL-3"), std::string::npos) << text;
  EXPECT_EQ(text.find("LicenseRef-"), std::string::npos) << text;
  EXPECT_EQ(text.find("@"), std::string::npos) << "no mail address in\n" << text;
  // The manual page names the licence too.
  std::string manual;
  ASSERT_EQ(command({"gzip", "-dc", tree + "usr/share/man/man1/pixkeep.1.gz"}, manual), 0) << manual;
  EXPECT_NE(manual.find(".SH COPYRIGHT"), std::string::npos) << manual;
  EXPECT_NE(manual.find("(GPL-3.0-or-later)"), std::string::npos) << manual;
}

// The installed program run by a user: the files go to the user's places,
// nothing under the installation, and a second start hands over to the first.
class InstalledProgram : public Package {
 protected:
  void SetUp() override {
    Package::SetUp();
    user = testUser();
    home = scratch + "home/";
    runtime = scratch + "runtime/";
    for (const std::string& d : {home, runtime}) {
      fs::create_directories(d);
      ASSERT_EQ(chown(d.c_str(), user.uid, user.gid), 0);
      fs::permissions(d, fs::perms::owner_all);
    }
    program = tree + "usr/bin/pixkeep";
    // The user's session bus, in the user's runtime directory.
    std::vector<std::string> prefix = user.become;
    prefix.insert(prefix.end(), {"env", "-i"});
    for (const std::string& v : markerVariables()) prefix.push_back(v);
    bus = std::make_unique<SessionBus>(runtime, scratch + "dbus.log", prefix);
    ASSERT_FALSE(bus->address().empty()) << bus->describe() << "\n" << fileText(scratch + "dbus.log");
  }
  void TearDown() override {
    running.reset();
    xclip.reset();
    bus.reset();
    if (HasFailure()) std::cout << "---- pixkeep.log ----\n" << fileText(scratch + "pixkeep.log") << "---- end\n";
  }

  // The command that runs the installed program as the user, with an
  // environment of a plain desktop session.
  std::vector<std::string> asUser(const std::vector<std::string>& args) {
    std::vector<std::string> c = user.become;
    c.insert(c.end(), {"env", "-i", "HOME=" + home, "XDG_RUNTIME_DIR=" + runtime, "DISPLAY=" + std::string(std::getenv("DISPLAY")),
                       "DBUS_SESSION_BUS_ADDRESS=" + bus->address(), "PATH=" + tree + "usr/bin:/usr/bin:/bin", "LANG=C.UTF-8",
                       "QT_FORCE_STDERR_LOGGING=1"});
    const std::vector<std::string> marker = markerVariables();
    c.insert(c.end(), marker.begin(), marker.end());
    c.push_back(program);
    c.insert(c.end(), args.begin(), args.end());
    return c;
  }
  // Starts it; waits for its window and returns it.
  testing::AssertionResult start(const std::vector<std::string>& args, TopWindow& window) {
    running = std::make_unique<Process>(asUser(args), scratch + "pixkeep.log");
    if (!waitFor([&] { return !xserver.windowsOf(running->pid()).empty() || !running->running(); }))
      return testing::AssertionFailure() << "no window";
    const auto windows = xserver.windowsOf(running->pid());
    if (windows.size() != 1) return testing::AssertionFailure() << running->describe() << ", windows: " << windows.size();
    window = windows[0];
    return testing::AssertionSuccess();
  }
  testing::AssertionResult copy(const QImage& image) {
    const std::string file = scratch + "copied.png";
    image.save(QString::fromStdString(file), "PNG");
    const unsigned long before = xserver.clipboardOwner();
    xclip = std::make_unique<Process>(std::vector<std::string>{"xclip", "-quiet", "-selection", "clipboard", "-t",
                                                               "image/png", "-i", file});
    if (!waitFor([&] { return xserver.clipboardOwner() != before || !xclip->running(); }))
      return testing::AssertionFailure() << "xclip did not take the clipboard";
    return testing::AssertionSuccess();
  }
  std::vector<std::string> pictures() {
    std::vector<std::string> names;
    if (fs::is_directory(home + "Pictures"))
      for (const auto& e : fs::directory_iterator(home + "Pictures")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  bool shown() { return !xserver.windowsOf(running->pid()).empty(); }

  User user;
  std::string home, runtime, program;
  std::unique_ptr<SessionBus> bus;
  std::unique_ptr<Process> running, xclip;
};

QImage gradient(int w, int h, int seed) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb((x * 7 + seed) & 255, (y * 5 + seed * 3) & 255, (x ^ y) & 255));
  return img;
}

TEST_F(InstalledProgram, KeepsItsFilesInTheUsersPlacesAndRunsOnce) {
  // The installed english.ini is the one read: its hiding caption is told apart from the built-in one.
  const std::string english = tree + "usr/share/pixkeep/lang/english.ini";
  std::string text = fileText(english);
  const size_t at = text.find("HidingText=Hiding...");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, std::string("HidingText=Hiding...").size(), "HidingText=Hiding (installed)...");
  std::ofstream(english, std::ios::trunc) << text;
  const auto installed = snapshot(tree);

  // A tray to hide in.
  Process tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24"},
               scratch + "trayer.log");
  ASSERT_TRUE(waitFor([] { return xserver.trayPresent(); })) << "trayer offers no tray";

  TopWindow window;
  ASSERT_TRUE(start({"-hide"}, window));
  EXPECT_TRUE(waitFor([&] { return xserver.title(window.id) == "Hiding (installed)..."; })) << xserver.title(window.id);
  // A second start brings the hidden window back and ends.
  ASSERT_TRUE(waitFor([&] { return !shown() && xserver.trayIconsOf(running->pid()).size() == 1; }))
      << "the window did not hide";
  Process second(asUser({}), scratch + "pixkeep.log");
  ASSERT_TRUE(second.waitForEnd(Deadline));
  EXPECT_EQ(second.exitCode(), 0) << second.describe();
  ASSERT_TRUE(waitFor([&] { return shown(); })) << "the second start did not bring the window back";
  EXPECT_TRUE(running->running());

  // Pictures go to the user's pictures folder, one file per picture.
  const QImage first = gradient(31, 17, 1);
  ASSERT_TRUE(copy(first));
  ASSERT_TRUE(waitFor([&] { return pictures() == std::vector<std::string>{"pxk1.jpg"}; })) << pictures().size();
  const QImage saved(QString::fromStdString(home + "Pictures/pxk1.jpg"));
  EXPECT_EQ(saved.size(), first.size());

  // File > Start hidden when I log in: the File menu (above the client area), then its item.
  window = xserver.windowsOf(running->pid()).at(0);
  const int menuY = window.height - 19 - 80 - 8;
  ASSERT_EQ(run({"xdotool", "mousemove", "--window", std::to_string(window.id), "12", std::to_string(menuY), "click", "1"}), 0);
  ASSERT_TRUE(waitFor([&] {
    const auto w = xserver.windowsOf(running->pid());
    return std::any_of(w.begin(), w.end(), [](const TopWindow& t) { return t.popup; });
  })) << "the File menu did not open";
  ASSERT_EQ(run({"xdotool", "key", "l"}), 0);
  const std::string entry = home + ".config/autostart/pixkeep.desktop";
  ASSERT_TRUE(waitFor([&] { return fs::exists(entry); })) << "no autostart entry";
  EXPECT_TRUE(hasLine(entry, "Exec=pixkeep -hide")) << fileText(entry);
  std::string output;
  EXPECT_EQ(command({"desktop-file-validate", entry}, output), 0) << output;

  // Closing the window stores the settings in the user's configuration directory.
  ASSERT_TRUE(xserver.requestClose(window.id));
  ASSERT_TRUE(running->waitForEnd(Deadline));
  EXPECT_EQ(running->exitCode(), 0);
  const std::string settings = home + ".config/pixkeep/pixkeep.ini";
  EXPECT_TRUE(hasLine(settings, "[Settings]")) << fileText(settings);
  EXPECT_TRUE(hasLine(settings, "TextPos=1")) << fileText(settings);

  // The user's own settings name another language file.
  std::ofstream(settings, std::ios::app) << "[Language]\nLangFile=" << tree << "usr/share/pixkeep/lang/deutsch.ini\n";
  ASSERT_TRUE(start({"-hide"}, window));
  EXPECT_TRUE(waitFor([&] { return xserver.title(window.id) == "Wird verborgen \u2026"; })) << xserver.title(window.id);
  running.reset();

  // Everything written is the user's, and nothing under the installation changed.
  for (const auto& e : fs::recursive_directory_iterator(home)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    EXPECT_EQ(st.st_uid, user.uid) << e.path();
  }
  EXPECT_EQ(snapshot(tree), installed);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 2 && !GTEST_FLAG_GET(list_tests)) {
    std::fprintf(stderr, "usage: %s DIR (the directory with the package)\n", argv[0]);
    return 2;
  }
  if (argc == 2) packageDirectory = argv[1];
  return RUN_ALL_TESTS();
}
