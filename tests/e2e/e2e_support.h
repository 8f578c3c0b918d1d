// Small pieces shared by the end-to-end tests: the banner every run prints,
// ordered-fragment matching and the options of a run over the real chain.
#ifndef MORVIK_TESTS_E2E_SUPPORT_H
#define MORVIK_TESTS_E2E_SUPPORT_H

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

inline e2e_options real_chain(int time_limit = 600) {
  e2e_options options;
  options.real = true;
  options.time_limit = time_limit;
  return options;
}

#endif
