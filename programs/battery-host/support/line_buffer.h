#pragma once

// A stream buffer that gathers what is written into lines and passes each on
// whole, so that lines written by different parts of the host never
// interleave mid-line. A derived buffer writes a line's prefix when the line
// starts (StartLine) and passes the gathered line on when its '\n' has come
// (LineEnded).

#include <algorithm>
#include <ios>
#include <streambuf>
#include <string>

// A stream buffer without a buffer of its own: every character written goes
// to xsputn as it comes.
class UnbufferedStreambuf : public std::streambuf {
 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }
};

class LineBuffer : public UnbufferedStreambuf {
 protected:
  // A line starts: its prefix, if any, goes into `line` (empty so far).
  virtual void StartLine(std::string& line) = 0;
  // Line() holds a whole line, its '\n' included: pass it on and clear it.
  // False when it could not be passed on.
  virtual bool LineEnded() = 0;

  // What has been gathered of the line under way, behind its prefix.
  std::string& Line() { return line_; }
  // Nothing of the next line has been written yet.
  bool AtLineStart() const { return at_line_start_; }

  // Ends a line that is under way, as if its '\n' had been written.
  void EndLine() {
    if (at_line_start_) return;
    line_ += '\n';
    at_line_start_ = true;
    LineEnded();
  }

  // On a line that could not be passed on, what came before its '\n'.
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    const char* const begin = data;
    const char* const end = data + size;
    while (data != end) {
      if (at_line_start_) {
        at_line_start_ = false;
        StartLine(line_);
      }
      const char* newline = std::find(data, end, '\n');
      const char* next = newline == end ? end : newline + 1;
      line_.append(data, next);
      data = next;
      if (newline == end) break;
      at_line_start_ = true;
      if (!LineEnded()) return newline - begin;
    }
    return size;
  }

 private:
  bool at_line_start_ = true;
  // Kept between lines, so that its space is reused.
  std::string line_;
};
