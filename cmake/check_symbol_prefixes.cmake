# Fails when the core library defines an external symbol that does not carry
# its module's prefix. Run after each build of tindral_core (Linux):
#   cmake -DLIBRARY=<archive> -DNM=<nm> -P check_symbol_prefixes.cmake
# or, to check a listing saved from `nm -g --defined-only` (the tests do):
#   cmake -DLISTING=<file> -P check_symbol_prefixes.cmake
#
# The names are read mangled, which is exact: a C++ name's first component
# after _Z (past the special-name, nested-name and local-entity markers) is
# its outermost namespace or its own name. Names from std, Boost and
# RapidJSON, their template instances and compiler-generated symbols are not
# ours and are skipped.
set(prefixes "^(xll_|xlAuto|excel_gateway_|Excel12$|pyapi|python_runtime_|func_registry|http_server_|http_transport_|plat|text_utf16_|excel_jobs_)")

if(DEFINED LISTING)
  file(READ "${LISTING}" listing)
  set(LIBRARY "${LISTING}")
else()
  execute_process(COMMAND ${NM} -g --defined-only ${LIBRARY}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}: ${err}")
  endif()
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(bad "")
set(checked 0)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ ]+)$")
    continue()
  endif()
  set(kind "${CMAKE_MATCH_1}")
  set(sym "${CMAKE_MATCH_2}")
  set(name "")
  if(sym MATCHES "^_Z(.*)$")
    set(rest "${CMAKE_MATCH_1}")
    # Special names: vtables, typeinfo, guard variables, thunks; then local
    # entities (named after their enclosing function) and nested names.
    set(more 1)
    while(more)
      if(rest MATCHES "^(T[VITS]|GV|TT)(.*)$")
        set(rest "${CMAKE_MATCH_2}")
      elseif(rest MATCHES "^Thn?[0-9]+_(.*)$")
        set(rest "${CMAKE_MATCH_1}")
      elseif(rest MATCHES "^Tvn?[0-9]+_n?[0-9]+_(.*)$")
        set(rest "${CMAKE_MATCH_1}")
      elseif(rest MATCHES "^[ZN](.*)$")
        set(rest "${CMAKE_MATCH_1}")
      elseif(rest MATCHES "^[rVKLRO](.*)$")  # cv- and ref-qualifiers (R &, O &&)
        set(rest "${CMAKE_MATCH_1}")
      else()
        set(more 0)
      endif()
    endwhile()
    if(rest MATCHES "^S")  # std:: and the standard substitutions
      continue()
    endif()
    # An operator's name is the language's (placement new and delete from
    # <new>, which an unoptimised build keeps as weak copies): it cannot carry
    # a prefix; its operands' types do.
    if(rest MATCHES "^[a-z][a-z]")
      continue()
    endif()
    # A constructor or destructor emitted weak is an inline or implicitly
    # defined one, copied into every object that uses it when nothing is
    # inlined. It is named after its type; the type's own functions are
    # checked where they are defined.
    if(kind MATCHES "^[WV]$")
      set(tail "${rest}")
      while(tail MATCHES "^([0-9]+)(.*)$")
        set(tail_rest "${CMAKE_MATCH_2}")
        string(LENGTH "${tail_rest}" tail_length)
        if(CMAKE_MATCH_1 GREATER tail_length)
          break()
        endif()
        string(SUBSTRING "${tail_rest}" ${CMAKE_MATCH_1} -1 tail)
      endwhile()
      if(tail MATCHES "^(C[1-5]|D[0-5])E")
        continue()
      endif()
    endif()
    if(NOT rest MATCHES "^([0-9]+)(.*)$")
      list(APPEND bad "${sym}")
      continue()
    endif()
    string(SUBSTRING "${CMAKE_MATCH_2}" 0 ${CMAKE_MATCH_1} name)
  else()
    set(name "${sym}")
  endif()
  # Boost.Asio keeps its customisation points in global namespaces named
  # asio_*; unoptimised builds keep their instances, and RapidJSON's inline
  # functions their static tables.
  if(name MATCHES "^(boost|rapidjson|__|_GLOBAL_|DW\\.ref\\.)" OR name MATCHES "^(boost|asio)_")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  if(NOT name MATCHES "${prefixes}")
    list(APPEND bad "${sym}")
  endif()
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no symbols of our own found in ${LIBRARY}: is this the core library?")
endif()
if(bad)
  list(REMOVE_DUPLICATES bad)
  string(REPLACE ";" "\n  " bad_text "${bad}")
  message(FATAL_ERROR "external symbols without a module prefix in ${LIBRARY}:\n  ${bad_text}")
endif()
