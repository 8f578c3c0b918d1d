// Small pieces shared by the end-to-end tests: the banner every run prints,
// ordered-fragment matching and the options of a run over the real chain.
#ifndef MORVIK_TESTS_E2E_SUPPORT_H
#define MORVIK_TESTS_E2E_SUPPORT_H

#include <regex>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "harness.h"

const std::string BANNER = "\nUtility to execute flashing of Quorbel\nVersion 1.1.0.33\n\n";

// True when every fragment occurs in text, each after the one before.
inline bool in_order(const std::string& text, const std::vector<std::string>& fragments) {
  size_t at = 0;
  for (const std::string& fragment : fragments) {
    at = text.find(fragment, at);
    if (at == std::string::npos) {
      ADD_FAILURE() << "missing, or out of order: \"" << visible_bytes(fragment) << "\"";
      return false;
    }
    at += fragment.size();
  }
  return true;
}

// The module's wait after a restart varies with its downtime; the rest of the
// line does not.
inline std::string without_wait_seconds(const std::string& output) {
  static const std::regex wait("Successfully connected after [0-9]+ sec");
  return std::regex_replace(output, wait, "Successfully connected after N sec");
}

// Command line of an update of the stand-in module with the test images.
inline std::vector<std::string> update_args(bool both, const char* trace = "verbose") {
  std::vector<std::string> args = {"-host", "127.0.0.1", "-usr", "admin", "-pwd", "secret",
                                   "-mode", "update"};
  if (both)
    args.push_back("both");
  for (const char* arg : {"-tftp", "127.0.0.1/images", "-img_sw", "img_c.bin", "-img_tzr",
                          "tzr_c.bin", "-D", trace})
    args.push_back(arg);
  return args;
}

// args with the value of option replaced.
inline std::vector<std::string> with_option(std::vector<std::string> args, const std::string& option,
                                            const std::string& value) {
  for (size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == option)
      args[i + 1] = value;
  return args;
}

// The images the test updates use, on the area's TFTP server.
inline bool add_update_images(const e2e_area& area) {
  return area.add_tftp_image("images/img_c.bin", 1048576, 3) &&
         area.add_tftp_image("images/tzr_c.bin", 786432, 4);
}

// What the module receives for each remote step of an update (the save
// question after boot-system, the one-letter answers without line end).
namespace received {
const std::string WHICHBOOT = "whichboot\r\nquit\n";
const std::string DIR = "dir opcode\r\nquit\n";
inline std::string delete_file(const std::string& name) {
  return "delete " + name + "\r\nyquit\n";
}
inline std::string dir_file(const std::string& name) {
  return "dir opcode " + name + "\r\nquit\n";
}
inline std::string copy(const std::string& name) {
  return "copy tftp://127.0.0.1/images/" + name + " image " + name + "\r\nyquit\n";
}
inline std::string boot_opcode(const std::string& name) {
  return "boot-system opcode " + name + "\r\nquit\ny\n";
}
inline std::string boot_mode(const std::string& mode) {
  return "boot-system mode " + mode + "\r\nquit\ny\n";
}
const std::string RELOAD = "reload\r\ny";
}  // namespace received

// The tool's notices for the steps of an update, as -D verbose prints them.
namespace notices {
inline std::string current(const std::string& mode, const std::string& image) {
  return "\nGetting current boot mode and image...\nBoot mode: '" + mode +
         "'\nStartup opcode image: '" + image + "'\n\n";
}
inline std::string reload() {
  return "\nReload system...\n"
         "\nTrying to connect to the system after reloading (timeout 600 sec)...\n"
         "Successfully connected after N sec\n";
}
inline std::string download(const std::string& name) {
  return "\nDownloading new image from TFTP server...\nTFTP url: '127.0.0.1/images'\n"
         "Image name: '" + name + "'\n"
         "transfer starting...\nverifying CRC...\n"
         "receive complete...storing in flash file system\n"
         "\nConfirmation of downloading...\n"
         "New opcode image was successfully downloaded to the second entry \n";
}
// One boot mode flashed from startup to new, deleting second first ("" none).
inline std::string flash(const std::string& mode, const std::string& startup,
                         const std::string& second, const std::string& image) {
  std::string text = "\nExecuting flashing for mode '" + mode + "'\n\nGetting opcode images...\n" +
                     "Startup opcode image: '" + startup + "'\n";
  if (second.empty())
    text += "Second opcode image: not found\n";
  else
    text += "Second opcode image: '" + second +
            "'\n\nDeleting second opcode image...\nConfirmation of deleting...\n"
            "The second opcode image was deleted successfully\n";
  text += download(image) + "\nChanging startup opcode image...\n" + reload() +
          "\nChecking if flashing was successful...\n" + current(mode, image) +
          "\nSystem was successfully flashed for mode '" + mode + "'\n";
  return text;
}
inline std::string change_mode(const std::string& mode) {
  return "\nChanging current boot mode to '" + mode + "'...\n" + reload();
}
}  // namespace notices

// The opcode images of one boot mode as "name:flag" words, in listing order.
inline std::string images_of(const qbsim_state& st, const std::string& mode) {
  std::string text;
  for (const qbsim_image& image : st.images)
    if (image.mode == mode)
      text += (text.empty() ? "" : " ") + image.name + ":" + image.startup;
  return text;
}

inline e2e_options real_chain(int time_limit = 600) {
  e2e_options options;
  options.real = true;
  options.time_limit = time_limit;
  return options;
}

#endif
