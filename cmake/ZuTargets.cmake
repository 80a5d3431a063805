# Every target links zu_flags: the warning set the whole tree builds clean
# with. Qt modules come from each target's own list.
add_library(zu_flags INTERFACE)
target_compile_options(zu_flags INTERFACE -Wall -Wextra -Wno-unused-parameter)

# The precompiled header is a speed-up only: every file includes what it
# uses, and the sanitizer build (ZU_PCH=OFF) proves it. One header serves
# every target, so it holds only what every target links (Qt Core and the
# standard library).
if(ZU_PCH)
  add_library(zu_pch STATIC ${CMAKE_CURRENT_LIST_DIR}/pch_dummy.cpp)
  target_link_libraries(zu_pch PUBLIC zu_flags Qt6::Core)
  target_precompile_headers(zu_pch PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zu_pch.h)
endif()

function(zu_use_pch target)
  if(ZU_PCH)
    target_precompile_headers(${target} REUSE_FROM zu_pch)
  endif()
endfunction()

# zu_qt_modules(target scope Module...): links Qt6::Module for each.
function(zu_qt_modules target scope)
  foreach(module ${ARGN})
    target_link_libraries(${target} ${scope} Qt6::${module})
  endforeach()
endfunction()

# zu_library(name SOURCES ... QT ... LIBS ...): a static library of one
# folder, with the Qt modules (QT: Core, Gui, Network, ...) its files use.
function(zu_library name)
  cmake_parse_arguments(ZL "" "" "SOURCES;QT;LIBS" ${ARGN})
  add_library(${name} STATIC ${ZL_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC zu_flags ${ZL_LIBS})
  zu_qt_modules(${name} PUBLIC ${ZL_QT})
  zu_use_pch(${name})
endfunction()

# Under the sanitizers every test fails on undefined behaviour as on a memory
# fault, and leak reports are filtered by the one suppression file (libraries
# that are not ours, each entry with its reason). Allocations are unwound
# the slow way: the fast unwinder stops at the first library built without
# frame pointers, and a leak whose stack ends there matches no suppression.
set(ZU_SANITIZER_ENV
  "ASAN_OPTIONS=fast_unwind_on_malloc=0"
  "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"
  "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0")
function(zu_sanitizer_environment test)
  if(ZU_ASAN OR ZU_FUZZ)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT ${ZU_SANITIZER_ENV})
  endif()
endfunction()

# zu_test(name SOURCES ... [QT ...] LIBS ... [TIMEOUT s] [LABELS ...]): one
# Qt Test executable registered with CTest, always headless; QT names the Qt
# modules the test itself uses beyond those of its libraries. Only tests link
# Qt Test.
function(zu_test name)
  cmake_parse_arguments(ZT "" "TIMEOUT" "SOURCES;QT;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ZT_SOURCES})
  target_link_libraries(${name} PRIVATE zu_flags Qt6::Test ${ZT_LIBS})
  zu_qt_modules(${name} PRIVATE ${ZT_QT})
  target_compile_definitions(${name} PRIVATE
    ZU_SOURCE_DIR="${PROJECT_SOURCE_DIR}" ZU_BINARY_DIR="${PROJECT_BINARY_DIR}")
  zu_use_pch(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ZT_TIMEOUT)
    set(ZT_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ZT_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ZU_SOURCE_DIR=${PROJECT_SOURCE_DIR};ZU_BINARY_DIR=${PROJECT_BINARY_DIR}")
  zu_sanitizer_environment(${name})
  if(ZT_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ZT_LABELS}")
  endif()
endfunction()
