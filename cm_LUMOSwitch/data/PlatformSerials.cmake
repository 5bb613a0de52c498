# Turns data/platform_serials.csv into the built-in platform-serial table
# (a generated source compiled into lumoswitchmgmt). The rows are product data:
# a packager replaces the CSV and rebuilds; a row of the wrong shape, a
# duplicate key or a count other than 59 stops the configure step.
set(_csv ${CMAKE_CURRENT_LIST_DIR}/platform_serials.csv)
set(_out ${CMAKE_CURRENT_BINARY_DIR}/generated/PlatformSerialTable.cpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_csv})

file(STRINGS ${_csv} _lines)
set(_rows "")
set(_keys "")
set(_count 0)
set(_lineno 0)
foreach(_line IN LISTS _lines)
  math(EXPR _lineno "${_lineno} + 1")
  string(STRIP "${_line}" _line)
  if(_line STREQUAL "" OR _line MATCHES "^#")
    continue()
  endif()
  if(NOT _line MATCHES "^([A-Za-z0-9]+SW[1-4]),([0-9][0-9][0-9][0-9][0-9][0-9])$")
    message(FATAL_ERROR "${_csv}:${_lineno}: want KEY,COMPONENTID (platform code + SW1..SW4, six digits): '${_line}'")
  endif()
  set(_key ${CMAKE_MATCH_1})
  set(_id ${CMAKE_MATCH_2})
  string(LENGTH "${_key}" _len)
  if(_len LESS 8 OR _len GREATER 12)
    message(FATAL_ERROR "${_csv}:${_lineno}: key '${_key}' must be 8 to 12 characters")
  endif()
  if("${_key}" IN_LIST _keys)
    message(FATAL_ERROR "${_csv}:${_lineno}: key '${_key}' appears twice")
  endif()
  list(APPEND _keys "${_key}")
  string(APPEND _rows "    {\"${_key}\", \"${_id}\"},\n")
  math(EXPR _count "${_count} + 1")
endforeach()
if(NOT _count EQUAL 59)
  message(FATAL_ERROR "${_csv}: ${_count} rows, the table has 59")
endif()

file(CONFIGURE OUTPUT ${_out} CONTENT "// Generated from cm_LUMOSwitch/data/platform_serials.csv; edit that file.
#include \"LUMOSwitchMgmt.h\"

const std::vector<SPlatformSerialRow>& PlatformSerialTable()
{
    static const std::vector<SPlatformSerialRow> rows = {
@_rows@    };
    return rows;
}
" @ONLY)
target_sources(lumoswitchmgmt PRIVATE ${_out})
