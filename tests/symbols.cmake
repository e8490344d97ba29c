# Lists the global symbols that libvorl.a defines and fails on any name that
# is not the library's own: a platform service name (CreateFileA, Sleep,
# timeSetEvent, ...) or any other name that has no upper-case module prefix
# and that no public header declares. Run by ctest:
#   cmake -DNM=nm -DLIBRARY=libvorl.a -DHEADERS=include/vorl -P symbols.cmake
execute_process(COMMAND ${NM} -g --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not list ${LIBRARY}")
endif()
file(GLOB headers ${HEADERS}/*.h)
set(interface "")
foreach(header ${headers})
  file(READ ${header} text)
  string(APPEND interface "${text}")
endforeach()

string(REPLACE "\n" ";" lines "${listing}")
set(count 0)
set(foreign "")
foreach(line ${lines})
  # (an upper-case type letter is a global definition)
  if(NOT line MATCHES "^[0-9a-fA-F]+ [A-Z] (.+)$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  math(EXPR count "${count} + 1")
  # What the compiler adds: the C++ runtime's personality routine, and
  # names reserved to the implementation (the sanitizers' instrumentation).
  if(name MATCHES "^DW\\.ref\\." OR name MATCHES "^__")
    continue()
  endif()
  # A C++ name is judged by the first name in its mangled form (a function,
  # or the outermost namespace or class); instantiations of the C++
  # runtime's templates (std::, __gnu_cxx::), its allocation operators and the
  # system headers' classes (reserved names, __...) are theirs.
  if(name MATCHES "^_Z")
    if(name MATCHES "^_Z(T[VIST]|GV|TH|TW)?Z?N?[rVK]*L?S[tabsiod]" OR name MATCHES "^_Z(nw|na|dl|da)")
      continue()
    endif()
    if(NOT name MATCHES "^_Z(T[VIST]|GV|TH|TW)?Z?N?[rVK]*L?([0-9]+)(.*)$")
      list(APPEND foreign "${name} (a C++ name this check cannot read)")
      continue()
    endif()
    string(SUBSTRING "${CMAKE_MATCH_3}" 0 ${CMAKE_MATCH_2} name)
    if(name MATCHES "^__")
      continue()
    endif()
  endif()
  if(name MATCHES "^([A-Z][a-z]|time[A-Z])")
    list(APPEND foreign "${name} (a platform service name)")
  elseif(name MATCHES "^[A-Z][A-Z0-9]*(_|[a-z])")
    continue()
  elseif(NOT interface MATCHES "[^A-Za-z0-9_]${name}[^A-Za-z0-9_]")
    list(APPEND foreign "${name} (declared in no public header)")
  endif()
endforeach()
if(count LESS 100)
  message(FATAL_ERROR "only ${count} global symbols listed in ${LIBRARY}: not the whole library?")
endif()
if(foreign)
  list(JOIN foreign "\n  " text)
  message(FATAL_ERROR "libvorl.a defines global names that are not its own:\n  ${text}")
endif()
message(STATUS "${count} global symbols, all the library's own")
