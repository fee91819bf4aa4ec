# Helpers shared by the subsystem CMakeLists.

# qp_add_test(<name> SOURCES <files...> LIBS <targets...> [GUI] [LABELS <l...>])
# Every test is a Qt Test executable run by CTest. GUI tests run on the
# offscreen platform so they need no display.
function(qp_add_test name)
  cmake_parse_arguments(T "GUI" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    QP_SOURCE_DIR="${CMAKE_SOURCE_DIR}" QP_BINARY_DIR="${CMAKE_BINARY_DIR}"
    QP_PROGRAM_DIR="${QP_PROGRAM_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set(env "QT_QPA_PLATFORM=offscreen")
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
  if(T_TIMEOUT)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
