# Part of cmake/check-c-interfaces.sh: reads the preprocessed headers of the C
# libraries (the first file) and the dynamic symbols that the binaries take
# from their libraries (the second file: binary, library, symbol, demangled
# symbol, tab-separated), and reports every function of a C library whose
# declaration involves a type that changes size with _TIME_BITS=64 or
# _FILE_OFFSET_BITS=64 or is not found, every C symbol from a library it has
# no headers for, and the C++ functions that carry such a type unseen.
#
# Variables: c_libraries, the C libraries whose headers the first file holds
# (names without ".so"); own, the sonames built by the project itself.

BEGIN {
  # Types whose size or layout follows _TIME_BITS and _FILE_OFFSET_BITS on a
  # 32-bit glibc. The controller's libraries were built without either, so
  # their C interfaces take the 32-bit forms; the project's code, built with
  # both, would hand them the 64-bit ones and nothing at link time would say
  # so. clock_t keeps its width; it is refused with the others so that any
  # time type in a C interface is looked at by a person first. Types built
  # from these (a library's typedef of time_t, a struct holding a timespec)
  # are added from the headers below.
  split("time_t off_t clock_t ino_t blkcnt_t fsblkcnt_t fsfilcnt_t rlim_t fpos_t", names, " ")
  for (i in names) bad[names[i]] = names[i]
  split("timespec timeval itimerspec itimerval stat stat64 statfs statvfs dirent flock aiocb " \
        "utimbuf timeb timex ntptimeval rusage msqid_ds semid_ds shmid_ds",
        tags, " ")
  for (i in tags) bad["struct " tags[i]] = "struct " tags[i]
  n_libraries = split(c_libraries, list, " ")
  for (i = 1; i <= n_libraries; ++i) is_c_library[list[i]] = 1
  n_own = split(own, list, " ")
  for (i = 1; i <= n_own; ++i) is_own[list[i]] = 1
  split("libc libm libpthread libdl librt libresolv libutil libanl libmvec ld ld-linux " \
        "ld-linux-x86-64", list, " ")
  for (i in list) is_glibc[list[i]] = 1
  # GCC's runtime: its C entry points are the language's (unwinding, the
  # sanitizers' interceptors, which stand for glibc's own functions).
  split("libstdc++ libgcc_s libasan libubsan liblsan libtsan libatomic", list, " ")
  for (i in list) is_runtime[list[i]] = 1
  # Functions of libstdc++ that read or set a time inside the library: the
  # controller's libstdc++ was built with a 32-bit time_t, so they end in
  # January 2038 although their names carry no time type.
  reads_time["std::chrono::_V2::system_clock::now"] = "reads the clock"
  reads_time["std::chrono::system_clock::now"] = "reads the clock"
  reads_time["std::filesystem::last_write_time"] = "reads or sets a file's time"
  depth = 0
  linkage = 0
  text = ""
}

FILENAME == ARGV[1] {
  if (substr($0, 1, 1) == "#") {
    if (match($0, /^# [0-9]+ "[^"]*"/)) {
      file = substr($0, RSTART, RLENGTH)
      sub(/^# [0-9]+ "/, "", file)
      sub(/"$/, "", file)
    }
    next
  }
  scan($0 " ")
  next
}

{
  n_uses++
  use_line[n_uses] = $0
}

# Splits the preprocessed text into statements: declarations ending in ';'
# outside braces, and function definitions ending with their body. extern "C"
# blocks are looked through.
function scan(line, special, c, head) {
  while (line != "") {
    if (!match(line, /[{};"']/)) {
      append(line)
      return
    }
    append(substr(line, 1, RSTART - 1))
    c = substr(line, RSTART, 1)
    line = substr(line, RSTART + 1)
    if (c == "\"" || c == "'") {
      # A literal, escapes and all, up to its closing quote.
      special = c
      append(c)
      while (line != "") {
        c = substr(line, 1, 1)
        line = substr(line, 2)
        append(c)
        if (c == "\\") {
          append(substr(line, 1, 1))
          line = substr(line, 2)
        } else if (c == special) {
          break
        }
      }
    } else if (c == "{") {
      if (depth == 0) {
        head = text
        if (head ~ /extern[ \t]*"C(\+\+)?"[ \t]*$/ || head ~ /(^|[^A-Za-z0-9_])namespace[ \t]*[A-Za-z0-9_]*[ \t]*$/) {
          ++linkage
          text = ""
          continue
        }
        if (plain(head) ~ /(^|[^A-Za-z0-9_])(struct|union|enum)[ \t]*[A-Za-z0-9_]*[ \t]*$/)
          body = "type"
        else if (head ~ /=[ \t]*$/)
          body = "initializer"
        else
          body = "function"
      }
      ++depth
      append(c)
    } else if (c == "}") {
      if (depth == 0) {
        if (linkage > 0) --linkage
        text = ""
        continue
      }
      --depth
      append(c)
      if (depth == 0 && body == "function") emit()
    } else if (depth == 0) {
      emit()
    } else {
      append(c)
    }
  }
}

function append(piece) {
  if (text == "" && piece ~ /^[ \t]*$/) return
  if (text == "") text_file = file
  text = text piece
}

function emit() {
  if (text != "") {
    ++n_statements
    statement[n_statements] = text
    statement_file[n_statements] = text_file
  }
  text = ""
}

# The statement without its attributes and asm labels, which hold no types.
function plain(s) {
  while (gsub(/__attribute__[ \t]*\(\([^()]*(\([^()]*(\([^()]*\)[^()]*)*\)[^()]*)*\)\)/, " ", s)) {}
  gsub(/__asm__[ \t]*\([^()]*\)/, " ", s)
  return s
}

# The first type of the bad set that s names, or "".
function bad_type_in(s, n, words, i) {
  gsub(/[^A-Za-z0-9_]+/, " ", s)
  n = split(s, words, " ")
  for (i = 1; i <= n; ++i) {
    if (words[i] == "struct" || words[i] == "union" || words[i] == "enum") {
      if (("struct " words[i + 1]) in bad) return "struct " words[i + 1]
      ++i
    } else if (words[i] in bad) {
      return words[i]
    }
  }
  return ""
}

# Adds the names that typedef statement s defines; returns how many were new.
function add_typedef_names(s, why, pieces, n, i, name, added) {
  gsub(/\{.*\}/, " ", s)
  sub(/;?[ \t]*$/, "", s)
  added = 0
  if (match(s, /\([ \t]*\*[ \t]*[A-Za-z_][A-Za-z0-9_]*[ \t]*\)/)) {
    name = substr(s, RSTART, RLENGTH)
    gsub(/[^A-Za-z0-9_]/, "", name)
    if (!(name in bad)) { bad[name] = why; added++ }
    return added
  }
  n = split(s, pieces, ",")
  for (i = 1; i <= n; ++i) {
    name = pieces[i]
    gsub(/\[[^]]*\]/, " ", name)
    sub(/[^A-Za-z0-9_]*$/, "", name)
    if (match(name, /[A-Za-z_][A-Za-z0-9_]*$/)) {
      name = substr(name, RSTART, RLENGTH)
      if (!(name in bad)) { bad[name] = why; added++ }
    }
  }
  return added
}

# Grows the bad set by the typedefs and structs built from its types, until it
# holds all of them.
function close_bad_set(changed, i, s, head, body_text, tag, why) {
  do {
    changed = 0
    for (i = 1; i <= n_statements; ++i) {
      if (done[i]) continue
      s = plain(statement[i])
      if (index(s, "{") && match(s, /(struct|union)[ \t]+[A-Za-z_][A-Za-z0-9_]*[ \t]*\{/)) {
        head = substr(s, RSTART, RLENGTH)
        tag = head
        sub(/^(struct|union)[ \t]+/, "", tag)
        sub(/[ \t]*\{$/, "", tag)
        body_text = substr(s, RSTART + RLENGTH)
        why = bad_type_in(body_text)
        if (why != "") {
          if (!(("struct " tag) in bad)) { bad["struct " tag] = why; changed++ }
          if (s ~ /^[ \t]*(__extension__[ \t]*)?typedef[^A-Za-z0-9_]/) changed += add_typedef_names(s, why)
          done[i] = 1
        }
      } else if (s ~ /^[ \t]*(__extension__[ \t]*)?typedef[^A-Za-z0-9_]/) {
        why = bad_type_in(s)
        if (why != "") {
          changed += add_typedef_names(s, why)
          done[i] = 1
        }
      }
    }
  } while (changed)
}

# The name that a declaration declares: the word before its first top-level
# parenthesis (a function), or its last word (an object).
function declared_name(s, name) {
  s = plain(s)
  if (index(s, "{")) s = substr(s, 1, index(s, "{") - 1)
  if (s ~ /^[ \t]*(__extension__[ \t]*)?typedef[^A-Za-z0-9_]/) return ""
  if (match(s, /[A-Za-z_][A-Za-z0-9_]*[ \t]*\(/)) {
    name = substr(s, RSTART, RLENGTH)
    sub(/[ \t]*\($/, "", name)
    return name
  }
  sub(/(\[[^]]*\]|[ \t])*$/, "", s)
  if (match(s, /[A-Za-z_][A-Za-z0-9_]*$/)) return substr(s, RSTART, RLENGTH)
  return ""
}

function shorten(s) {
  s = plain(s)
  if (index(s, "{")) s = substr(s, 1, index(s, "{") - 1)
  gsub(/[ \t]+/, " ", s)
  sub(/^ /, "", s)
  sub(/ $/, "", s)
  return s
}

function fail(message) {
  print "c-interface check: " message
  ++failures
}

END {
  close_bad_set()
  for (i = 1; i <= n_statements; ++i) {
    name = declared_name(statement[i])
    if (name == "") continue
    declarations[name] = (name in declarations) ? declarations[name] " " i : i
  }

  checked = 0
  for (u = 1; u <= n_uses; ++u) {
    split(use_line[u], field, "\t")
    binary = field[1]
    library = field[2]
    symbol = field[3]
    demangled = field[4]
    base = library
    sub(/\.so.*$/, "", base)
    if ((base in is_glibc) || (library in is_own)) continue
    if (symbol ~ /^_Z/) {
      function_name = demangled
      sub(/\(.*$/, "", function_name)
      if (base == "libstdc++" && (function_name in reads_time)) {
        fail(demangled " (" library ", used by " binary ") " reads_time[function_name] \
             " inside libstdc++, which " \
             "the controller's toolchain builds with a 32-bit time_t: use glibc's function " \
             "(clock_gettime, stat, utimensat), which the project's build makes 64-bit")
      }
      # C++ names carry their parameter types, time_t resolved to long or
      # long long, so a changed time_t fails to link by itself; a struct
      # keeps its name whatever its layout.
      parameters = substr(demangled, index(demangled, "(") + 1)
      gsub(/[^A-Za-z0-9_]+/, " ", parameters)
      n = split(parameters, words, " ")
      for (w = 1; w <= n; ++w) {
        if (("struct " words[w]) in bad) {
          fail(demangled " (" library ", used by " binary ") takes struct " words[w] \
               ", whose layout differs between the library's build and this one")
        }
      }
      ++checked
      continue
    }
    if (base in is_runtime) continue
    if (!(base in is_c_library)) {
      fail(symbol " comes from " library " (used by " binary "), a C library whose headers the " \
           "check is not given: add it with battery_c_library()")
      continue
    }
    ++checked
    if (!(symbol in declarations)) {
      fail(symbol " (" library ", used by " binary ") is declared in none of the headers given " \
           "for " base ": add its header to battery_c_library()")
      continue
    }
    n = split(declarations[symbol], found, " ")
    for (k = 1; k <= n; ++k) {
      why = bad_type_in(plain(statement[found[k]]))
      if (why == "") continue
      type = why
      if (bad[why] != why) type = why " (from " bad[why] ")"
      fail(symbol " (" library ", used by " binary ") is declared in " statement_file[found[k]] \
           " with " type ", whose size differs between the library's build and this one: " \
           shorten(statement[found[k]]))
      break
    }
  }
  if (failures) {
    print "c-interface check: " failures " call(s) into C libraries would pass data in the " \
          "wrong size; the controller's libraries are built with a 32-bit time_t and off_t"
    exit 1
  }
  print "c-interface check: " checked " symbols from libraries other than glibc, none with a " \
        "size-changing type"
}
