# Every target links zu_qt so that all of them share the same Qt defines and
# flags; that lets one precompiled header serve the whole tree.
add_library(zu_qt INTERFACE)
target_link_libraries(zu_qt INTERFACE
  Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Network Qt6::Xml Qt6::Qml Qt6::Quick
  Qt6::QuickWidgets Qt6::Concurrent)
# Qt Test without its interface defines: they name each target's own folders,
# which would make the shared precompiled header unusable.
target_include_directories(zu_qt INTERFACE $<TARGET_PROPERTY:Qt6::Test,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(zu_qt INTERFACE $<TARGET_FILE:Qt6::Test>)
target_compile_options(zu_qt INTERFACE -Wall -Wextra -Wno-unused-parameter)

add_library(zu_pch STATIC ${CMAKE_CURRENT_LIST_DIR}/pch_dummy.cpp)
target_link_libraries(zu_pch PUBLIC zu_qt)
target_precompile_headers(zu_pch PRIVATE ${CMAKE_CURRENT_LIST_DIR}/zu_pch.h)

function(zu_use_pch target)
  target_precompile_headers(${target} REUSE_FROM zu_pch)
endfunction()

# zu_library(name SOURCES ... LIBS ...): a static library of one folder.
function(zu_library name)
  cmake_parse_arguments(ZL "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ZL_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC zu_qt ${ZL_LIBS})
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

# zu_test(name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...]): one Qt Test
# executable registered with CTest, always headless.
function(zu_test name)
  cmake_parse_arguments(ZT "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ZT_SOURCES})
  target_link_libraries(${name} PRIVATE zu_qt ${ZT_LIBS})
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
