# velmo_bundle_info(<target> [NAME <executable name>] [NO_LOCATION_USAGE])
# Generates the information dictionary of an executable and compiles it into the target:
# CFBundleExecutable (NAME, default the target name), CFBundleShortVersionString (the project
# version), CFBundleVersion (commits in HEAD when configured, 0 outside git) and, unless
# NO_LOCATION_USAGE, NSLocationUsageDescription.
function(velmo_bundle_info target)
  cmake_parse_arguments(ARG "NO_LOCATION_USAGE" "NAME" "" ${ARGN})
  set(VELMO_BUNDLE_TARGET "${target}")
  set(VELMO_BUNDLE_NAME "${target}")
  if(ARG_NAME)
    set(VELMO_BUNDLE_NAME "${ARG_NAME}")
  endif()

  get_property(_build GLOBAL PROPERTY VELMO_BUNDLE_BUILD_NUMBER)
  if(NOT DEFINED _build OR _build STREQUAL "")
    find_package(Git QUIET)
    set(_build 0)
    if(GIT_FOUND)
      execute_process(COMMAND "${GIT_EXECUTABLE}" rev-list --count HEAD
                      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
                      OUTPUT_VARIABLE _count OUTPUT_STRIP_TRAILING_WHITESPACE
                      RESULT_VARIABLE _result ERROR_QUIET)
      if(_result EQUAL 0 AND _count MATCHES "^[0-9]+$")
        set(_build "${_count}")
      endif()
    endif()
    set_property(GLOBAL PROPERTY VELMO_BUNDLE_BUILD_NUMBER "${_build}")
  endif()
  set(VELMO_BUNDLE_BUILD "${_build}")

  set(_usage "A pozíciódat arra használjuk, hogy a közeli megállók induló járatait listázzuk.")
  if(ARG_NO_LOCATION_USAGE)
    set(VELMO_BUNDLE_USAGE_LINE "")
  else()
    set(VELMO_BUNDLE_USAGE_LINE "    {\"NSLocationUsageDescription\", \"${_usage}\"},\n")
  endif()

  set(_out "${CMAKE_CURRENT_BINARY_DIR}/${target}_bundle_info.cpp")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/BundleInfo.cpp.in" "${_out}" @ONLY)
  target_sources(${target} PRIVATE "${_out}")
  target_link_libraries(${target} PRIVATE velmo_bundle)
endfunction()
