// Cutting the answer out of a chunk and splitting it into lines for the line
// parser of one row of the command table; or, on the second path, splitting
// any text at all.
//
// Input: line parser, context type, path and answer buffer size (one byte
// each), the command line that was sent (ended by NUL), then the chunk.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_commands.h"

namespace {

line_parser_handler tested_line_parser = nullptr;
int lines_seen = 0;

// Sizes of the answer buffer: the command parsers' own, and small ones that
// make the cut at the buffer's end meet the prompt and the line ends.
const int RESPONSE_SIZES[] = {4096, 1, 2, 16, 100, 0};

// Holds each line to response_parser's promises before the parser sees it.
int checked_line(char* line, exec_context* cntx) {
  ++lines_seen;
  FUZZ_CHECK(strlen(line) <= 99);
  FUZZ_CHECK(strchr(line, '\r') == nullptr);
  size_t len = strlen(line);
  FUZZ_CHECK(len == 0 || line[len - 1] != '\n');
  return tested_line_parser(line, cntx);
}

std::vector<std::string> seeds() {
  std::vector<std::string> all;
  for (int i = 0; i < QB_COMMAND_COUNT; ++i) {
    for (const fuzz::recorded& r : fuzz::command_for(qb_commands[i]->cmd).dialogues) {
      std::string head;
      head += static_cast<char>('0' + i);
      head += static_cast<char>('0' + r.type);
      all.push_back(head + "00" + r.echo + '\0' + r.chunks.back());
      all.push_back(head + "10" + r.echo + '\0' + r.chunks.back());
    }
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::write_seeds_if_asked(seeds());
  fuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const qb_command& row = *qb_commands[in.pick(QB_COMMAND_COUNT)];
  const std::vector<QbCliType> types = fuzz::types_of(row);
  unsigned type_pick = in.pick(static_cast<unsigned>(types.size()) + 1);
  const bool raw = in.pick(2) == 1;
  const int response_size = RESPONSE_SIZES[in.pick(6)];
  std::unique_ptr<char[]> cmd = fuzz::exact_copy(in.text(511));
  std::string chunk = in.text(fuzz::CHUNK_BUF - 1);
  std::unique_ptr<char[]> recv = fuzz::exact_copy(chunk);

  exec_context cntx;
  cntx.type = type_pick < types.size() ? types[type_pick] : QB_CLI_UNKNOWN;
  tested_line_parser = row.line_parser;
  lines_seen = 0;

  if (raw) {
    response_parser(recv.get(), &cntx, checked_line);
  } else {
    // Exactly the size given, so that a write past it is caught.
    size_t alloc = response_size > 0 ? static_cast<size_t>(response_size) : 1;
    std::unique_ptr<char[]> response(new char[alloc]());
    extract_response(recv.get(), cmd.get(), response.get(), response_size);
    if (response_size == 0)
      return 0;
    FUZZ_CHECK(strnlen(response.get(), alloc) < alloc);
    const char* answer = response.get();
    // A chunk that ends in a prompt loses at least its prompt line; a '$' or
    // '#' elsewhere is the answer's own.
    if (has_prompt(recv.get()))
      FUZZ_CHECK(strlen(answer) < chunk.size());
    size_t len = strlen(answer);
    FUZZ_CHECK(len == 0 || (answer[len - 1] != '\r' && answer[len - 1] != '\n'));
    FUZZ_CHECK(chunk.find(answer) != std::string::npos);
    response_parser(response.get(), &cntx, checked_line);
  }
  FUZZ_CHECK(lines_seen >= 1);
  fuzz::check_context(cntx);
  return 0;
}
