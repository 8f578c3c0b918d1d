// Shared by the fuzz harnesses: reading selectors and texts out of the fuzzer's
// bytes, handing chunks over the way the session engine does, and the checks
// that turn a silently corrupted record into a crash the fuzzer reports.
#ifndef MORVIK_FUZZ_SUPPORT_H
#define MORVIK_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "defines.h"
#include "misc.h"
#include "ssh_exec.h"

namespace fuzz {

const size_t CHUNK_BUF = 4096;  // the engine's receive and send buffers
const size_t MAX_CHUNKS = 16;   // keeps one run short

// Ends the run with a message on stderr, which libFuzzer reports as a crash
// together with the input that led to it.
#define FUZZ_CHECK(cond)                                                          \
  do {                                                                            \
    if (!(cond)) {                                                                \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      abort();                                                                    \
    }                                                                             \
  } while (false)

// Reads the fuzzer's bytes from the front: selectors, then texts.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  // The next byte as a digit-like selector in [0, n): seeds written as '0',
  // '1' ... select 0, 1 ...; any other byte still selects something.
  unsigned pick(unsigned n) {
    if (pos_ >= size_)
      return 0;
    return static_cast<unsigned>(static_cast<uint8_t>(data_[pos_++] - '0')) % n;
  }

  // Text up to the next NUL (consumed) or the end, cut to max characters.
  std::string text(size_t max) {
    size_t end = pos_;
    while (end < size_ && data_[end] != 0)
      ++end;
    std::string t(reinterpret_cast<const char*>(data_ + pos_), end - pos_);
    pos_ = end < size_ ? end + 1 : end;
    if (t.size() > max)
      t.resize(max);
    return t;
  }

  // Everything that is left, NULs included.
  std::string rest() {
    std::string t(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
    pos_ = size_;
    return t;
  }

  bool empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// A heap copy of exactly strlen+1 bytes: any read past the terminator is a
// read past the allocation, which the address sanitizer reports.
inline std::unique_ptr<char[]> exact_copy(const std::string& text) {
  size_t len = strnlen(text.c_str(), text.size());
  std::unique_ptr<char[]> copy(new char[len + 1]);
  memcpy(copy.get(), text.data(), len);
  copy[len] = '\0';
  return copy;
}

// Splits what the client printed into the chunks the engine would hand on:
// reads of at most 4095 bytes, cleaned of lone CRs and trailing line ends;
// empty chunks are dropped. A NUL in the input ends a chunk, so that one
// input can hold a whole dialogue.
inline std::vector<std::string> engine_chunks(const std::string& output) {
  std::vector<std::string> chunks;
  size_t pos = 0;
  while (pos < output.size() && chunks.size() < MAX_CHUNKS) {
    size_t end = output.find('\0', pos);
    if (end == std::string::npos)
      end = output.size();
    if (end - pos > CHUNK_BUF - 1)
      end = pos + CHUNK_BUF - 1;
    std::vector<char> recv(CHUNK_BUF, '\0');
    memcpy(recv.data(), output.data() + pos, end - pos);
    str_remove_single_cr(recv.data(), static_cast<int>(CHUNK_BUF));
    FUZZ_CHECK(strnlen(recv.data(), CHUNK_BUF) < CHUNK_BUF);
    str_remove_ending(recv.data());
    if (recv[0] != '\0')
      chunks.emplace_back(recv.data());
    pos = (end < output.size() && output[end] == '\0') ? end + 1 : end;
  }
  return chunks;
}

template <size_t N>
void check_text(const char (&field)[N]) {
  FUZZ_CHECK(strnlen(field, N) < N);
}

inline void check_file(const file_info* f) {
  FUZZ_CHECK(f != nullptr);
  check_text(f->date);
  check_text(f->name);
  FUZZ_CHECK(f->type >= QB_FILE_UNKNOWN && f->type <= QB_FILE_CFG);
}

// Every text of the context and its records is terminated inside its own
// array (an overrun into the next field escapes the address sanitizer), and
// state and result code are values of their enumerations.
inline void check_context(const exec_context& c) {
  FUZZ_CHECK(c.state >= EXEC_INIT && c.state <= EXEC_CANCELED_BY_TIMEOUT);
  FUZZ_CHECK(qb_code_name(c.cli_result) != nullptr);
  check_text(c.cmd);
  for (const qb_login_info* row : *c.p_login->p_list) {
    FUZZ_CHECK(row != nullptr);
    check_text(row->user_name);
    check_text(row->conn_from);
    check_text(row->idle_time);
    check_text(row->sess_time);
    check_text(row->sess_type);
  }
  const qb_version_info& v = *c.p_version;
  for (const char* field : {v.serial_num, v.hardware_ver, v.ports, v.label_revision, v.part_num,
                            v.machine_model, v.machine_type, v.loader_ver, v.opcode_ver,
                            v.bootrom_ver})
    FUZZ_CHECK(strnlen(field, 50) < 50);
  check_text(v.sys_descr);
  const qb_whichboot_info& w = *c.p_whichboot;
  check_text(w.boot_system);
  check_text(w.next_boot_mode);
  check_file(w.p_boot_rom);
  check_file(w.p_cfg);
  check_file(w.p_opcode);
  for (const file_info* f : *c.p_dir->p_list)
    check_file(f);
  check_file(c.p_dir->p_file);
  check_file(c.p_delete->p_del_file);
  check_text(c.p_copy->tftp_url);
  check_text(c.p_copy->srcfile);
  check_text(c.p_copy->destfile);
  check_text(c.p_bootsystem->imagename);
}

// The tool's messages would drown the fuzzer's own report on stderr.
inline void silence_stdout() {
  int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd != -1) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
}

// With MORVIK_FUZZ_SEEDS naming a directory, writes the harness's seeds there
// and ends the process: the corpus starts from recorded answers kept beside
// the harness instead of binary files in the repository.
inline void write_seeds_if_asked(const std::vector<std::string>& seeds) {
  const char* dir = getenv("MORVIK_FUZZ_SEEDS");
  if (dir == nullptr)
    return;
  int n = 0;
  for (const std::string& seed : seeds) {
    std::string path = std::string(dir) + "/seed-" + std::to_string(n++);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(seed.data(), 1, seed.size(), f) != seed.size()) {
      fprintf(stderr, "cannot write seed %s\n", path.c_str());
      exit(1);
    }
    fclose(f);
  }
  exit(0);
}

}  // namespace fuzz

#endif
