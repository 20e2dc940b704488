# Shared helpers for our own targets (third-party code never gets these flags).

# velmo_target_defaults(<target>): warnings, -Werror in CI, sanitizers (address and undefined, or
# thread), clang-tidy.
function(velmo_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual)
  if(VELMO_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # g++ 12 at -O3 reports -Wrestrict on std::string concatenation inside libstdc++ (a known
  # false positive of that release); it would fail Release builds under -Werror.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(VELMO_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(VELMO_TSAN)
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
  if(VELMO_LINT)
    find_program(CLANG_TIDY clang-tidy REQUIRED)
    set_target_properties(${target} PROPERTIES CXX_CLANG_TIDY "${CLANG_TIDY}")
  endif()
endfunction()

# velmo_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
# A static library whose headers are included by folder: "core/json/JSON.h".
function(velmo_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  velmo_target_defaults(${name})
endfunction()

# velmo_test(<name> SOURCES ... LIBS ... [ENVIRONMENT ...])
# A GoogleTest program registered with ctest; each test runs in a pinned world:
# UTC unless the test sets otherwise, and a private XDG_CONFIG_HOME set by the fixture.
# Its tests carry the label of their top folder under tests/ ("server", "core", ...), and the
# program joins the target velmo_tests_<label>, so one part's tests can be built and run alone.
function(velmo_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  velmo_target_defaults(${name})
  file(RELATIVE_PATH _rel "${PROJECT_SOURCE_DIR}/tests" "${CMAKE_CURRENT_SOURCE_DIR}")
  string(REGEX REPLACE "/.*" "" _label "${_rel}")
  set_property(GLOBAL APPEND PROPERTY VELMO_TEST_LABELS ${_label})
  set_property(GLOBAL APPEND PROPERTY VELMO_TESTS_${_label} ${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${_label} ENVIRONMENT "TZ=UTC;LC_ALL=C.UTF-8;QT_QPA_PLATFORM=offscreen;${ARG_ENVIRONMENT}")
endfunction()

# velmo_check_no_qt(<target>...): stops the configuration when one of the targets reaches a Qt
# target through what it links, directly or further down. The plain-C++ core stays usable
# without Qt (the server, the benchmarks, the tests that need no event loop).
function(velmo_check_no_qt)
  foreach(root IN LISTS ARGN)
    set(queue ${root})
    set(seen "")
    while(queue)
      list(POP_FRONT queue current)
      if(current IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${current})
      if(current MATCHES "^Qt[0-9]*::")
        message(FATAL_ERROR "${root} must not link Qt, but reaches ${current}")
      endif()
      if(NOT TARGET ${current})
        continue()
      endif()
      get_target_property(type ${current} TYPE)
      set(links "")
      if(NOT type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(direct ${current} LINK_LIBRARIES)
        if(direct)
          list(APPEND links ${direct})
        endif()
      endif()
      get_target_property(usage ${current} INTERFACE_LINK_LIBRARIES)
      if(usage)
        list(APPEND links ${usage})
      endif()
      foreach(link IN LISTS links)
        # A static library's private links appear as $<LINK_ONLY:name>.
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" link "${link}")
        if(NOT link MATCHES "^\\$<")
          list(APPEND queue ${link})
        endif()
      endforeach()
    endwhile()
  endforeach()
endfunction()

# Installs FILE into etc/DIR: /etc when the prefix is /usr (`cmake --install --prefix /usr`, and the
# packages, which CPack stages under a folder ending in /usr), under the prefix otherwise. Decided
# when installing, since the prefix may be given only then.
function(velmo_install_etc file dir component)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX MATCHES \"(^|/)usr/?$\")
      set(etc /etc)
    else()
      set(etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    file(INSTALL DESTINATION \"\${etc}/${dir}\" TYPE FILE FILES \"${file}\")
  " COMPONENT ${component})
endfunction()
