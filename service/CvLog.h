// The program's one logging category, "<pianocorvida>", and the printf-style calls
// every subsystem logs with. Texts are filled by Boost.Format, so each argument is
// printed by its own type ("%s" takes an int as well as a text) and a wrong argument
// count never throws. Safe from any thread: log4cpp serialises its appenders.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include <boost/format.hpp>
#include <log4cpp/Category.hh>

namespace cvlog {

// The category; the worker thread attaches the rolling file appender to it.
log4cpp::Category& category();

template <typename... Args>
std::string format(const char* pattern, Args&&... args) {
  boost::format formatter(pattern);
  formatter.exceptions(boost::io::no_error_bits);
  (void)std::initializer_list<int>{((formatter % std::forward<Args>(args)), 0)...};
  return formatter.str();
}

template <typename... Args>
void info(const char* pattern, Args&&... args) {
  category().info(format(pattern, std::forward<Args>(args)...));
}

template <typename... Args>
void warn(const char* pattern, Args&&... args) {
  category().warn(format(pattern, std::forward<Args>(args)...));
}

template <typename... Args>
void error(const char* pattern, Args&&... args) {
  category().error(format(pattern, std::forward<Args>(args)...));
}

// Diagnostic lines that go to standard output instead of the log.
template <typename... Args>
void out(const char* pattern, Args&&... args) {
  std::string text = format(pattern, std::forward<Args>(args)...);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace cvlog
