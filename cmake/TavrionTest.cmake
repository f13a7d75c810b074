# tavrion_add_test(NAME SOURCES f.cpp... LIBS lib... LABEL unit|widget|integration|e2e
#                  [XVFB | WESTON] [TIMEOUT s])
# One QtTest executable per area. Without XVFB the test runs on the offscreen
# platform; with XVFB it runs inside a private X server with openbox; with
# WESTON inside a Wayland session with XWayland (tests/support/run-weston).
function(tavrion_add_test name)
  cmake_parse_arguments(T "XVFB;WESTON" "LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL)
    set(T_LABEL unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE tavrion_options Qt5::Test ${T_LIBS})
  if(T_XVFB OR T_WESTON)
    if(T_WESTON)
      set(runner run-weston)
    else()
      set(runner run-xvfb)
    endif()
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/tests/support/${runner} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "TAVRION_BUILD_DIR=${PROJECT_BINARY_DIR}")
  else()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TAVRION_BUILD_DIR=${PROJECT_BINARY_DIR}")
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT})
endfunction()

# Runs an added suite once more as NAME_SUFFIX, with VAR=VALUE pairs added to
# its environment (e.g. another storage back end).
function(tavrion_add_test_variant name suffix)
  get_test_property(${name} ENVIRONMENT environment)
  get_test_property(${name} LABELS labels)
  get_test_property(${name} TIMEOUT timeout)
  add_test(NAME ${name}_${suffix} COMMAND ${name})
  set_tests_properties(${name}_${suffix} PROPERTIES
    ENVIRONMENT "${environment};${ARGN}" LABELS "${labels}" TIMEOUT ${timeout})
endfunction()
