# Helpers shared by the project's CMakeLists files.
include(GoogleTest)

# Libraries every test program may use; targets that do not exist yet are
# skipped so that a tree with only some modules still builds.
function(tovi_link_available target)
  foreach(lib muxcore tovi toviplat)
    if(TARGET ${lib})
      target_link_libraries(${target} PRIVATE ${lib})
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE PkgConfig::NSPR Threads::Threads ${CMAKE_DL_LIBS})
endfunction()

# In a cross build the test programs run under the emulator, and so must
# the programs of the build tree that they start (tests/common/test_support.h).
set(TOVI_TEST_ENVIRONMENT "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " _wrapper)
  set(TOVI_TEST_ENVIRONMENT ENVIRONMENT "TOVI_TEST_WRAPPER=${_wrapper}")
endif()

# tovi_add_gtests(DIR LABEL): one GoogleTest program per *_test.cc in DIR,
# named after the file, registered with ctest under the one label LABEL.
function(tovi_add_gtests dir label)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*_test.cc)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    tovi_link_available(${name})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
    target_compile_definitions(${name} PRIVATE
      TOVI_BUILD_DIR="${CMAKE_BINARY_DIR}"
      TOVI_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT 120
      PROPERTIES LABELS ${label} TIMEOUT 300 ${TOVI_TEST_ENVIRONMENT})
  endforeach()
endfunction()
