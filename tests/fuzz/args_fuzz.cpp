// The command line from arbitrary bytes: the input, split at NUL bytes, is the
// argument list after the program's name.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "main.h"
#include "nxa-tools-trace.h"

using namespace std::string_literals;

namespace {

const size_t MAX_ARGS = 64;

const std::vector<std::string> seeds = {
    "-host\0" "10.1.2.3\0" "-usr\0" "admin\0" "-pwd\0" "secret\0" "-mode\0" "account_check"s,
    "-mode\0" "update\0" "both\0" "-host\0" "h\0" "-usr\0" "u\0" "-pwd\0" "p\0"
    "-tftp\0" "tftp://10.0.0.1/img\0" "-img_tzr\0" "tzr.bin\0" "-img_sw\0" "sw.bin"s,
    "-D\0" "debug\0" "-sim\0" "-host\0" "qb1\n\0" "-usr\0" "\0" "-pwd\0" "\0"
    "-mode\0" "account_check"s,
    "-D\0" "loud\0" "-host\0" "-usr\0" "u"s,
    "-pwd\0" "x\r\nreload\0" "-host=x\0" "--host"s,
};

bool has_blank_or_control(const char* text) {
  for (; *text != '\0'; ++text)
    if (isspace(static_cast<unsigned char>(*text)) || iscntrl(static_cast<unsigned char>(*text)))
      return true;
  return false;
}

// What a successful parse promises the rest of the tool.
void check_accepted() {
  fuzz::check_text(options.host);
  fuzz::check_text(options.username);
  fuzz::check_text(options.password);
  fuzz::check_text(options.tftp_path);
  fuzz::check_text(options.img_tzr);
  fuzz::check_text(options.img_sw);
  FUZZ_CHECK(options.mode == QB_CHECK_AUTH_MODE || options.mode == QB_FLASH_MODE);
  FUZZ_CHECK(options.tracemode >= TRACE_MODE_QUIET && options.tracemode <= TRACE_MODE_DEBUG);
  FUZZ_CHECK(options.both == 0 || (options.both == 1 && options.mode == QB_FLASH_MODE));
  FUZZ_CHECK(!has_blank_or_control(options.host));
  FUZZ_CHECK(!has_blank_or_control(options.username));
  FUZZ_CHECK(!has_blank_or_control(options.tftp_path));
  FUZZ_CHECK(!has_blank_or_control(options.img_tzr));
  FUZZ_CHECK(!has_blank_or_control(options.img_sw));
  const char* line_end = strpbrk(options.password, "\r\n");
  FUZZ_CHECK(line_end == nullptr || line_end[strspn(line_end, "\r\n")] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::write_seeds_if_asked(seeds);
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> store = {"/usr/bin/morvik"};
  std::string all(reinterpret_cast<const char*>(data), size);
  size_t pos = 0;
  while (pos < all.size() && store.size() <= MAX_ARGS) {
    size_t end = all.find('\0', pos);
    if (end == std::string::npos)
      end = all.size();
    store.push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
  // A lone -help prints the usage text and ends the process, by design.
  if (store.size() == 2 && store[1] == "-help")
    return 0;

  // Each argument in an allocation of its own size, as the kernel lays them
  // out; the parser writes into the password's.
  std::vector<std::unique_ptr<char[]>> args;
  std::vector<char*> argv;
  for (const std::string& s : store) {
    args.push_back(fuzz::exact_copy(s));
    argv.push_back(args.back().get());
  }
  argv.push_back(nullptr);

  options = qb_opt();
  simulator_mode = 0;
  QBCodes rc = parse_args(static_cast<int>(store.size()), argv.data());
  FUZZ_CHECK(rc == MORVIK_SUCCESS || rc == MORVIK_INVALID_PARAM_ERR);
  FUZZ_CHECK(simulator_mode == 0 || simulator_mode == 1);
  if (rc == MORVIK_SUCCESS)
    check_accepted();
  return 0;
}
