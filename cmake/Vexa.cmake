# vexa_module(NAME [DIRS dir...] [DEPS lib...] [TEST_DEPS lib...] [LABELS label...] [SHARDS n]
#             [POSIX_SOURCES file...] [POSIX_TESTS file...] [POSIX_TEST_DEPS lib...])
#
# Builds the static library vexa_NAME from every *.cc of the module's folder (and of
# the extra DIRS) that is not a *_test.cc, and one GoogleTest binary NAME_test from
# the *_test.cc files beside them, registered with ctest under the given labels.
# Modules with no sources yet build nothing, so a folder can be filled step by step.
# POSIX_SOURCES, POSIX_TESTS (file names) and POSIX_TEST_DEPS are left out of the
# Windows build: they need the reference server, other Linux-side peers or jsoncpp. There ctest runs the
# tests through the toolchain's emulator (Wine). Tests labelled "threaded" are also built by the
# target threaded_tests (the ThreadSanitizer run builds only those). With SHARDS n, the test binary
# runs as n ctest entries NAME.1 ... NAME.n, each a GoogleTest shard, so ctest runs a long binary's
# tests side by side (they mostly wait on a service) instead of in one job slot.
function(vexa_module NAME)
  cmake_parse_arguments(M "" "SHARDS" "DIRS;DEPS;TEST_DEPS;LABELS;POSIX_SOURCES;POSIX_TESTS;POSIX_TEST_DEPS" ${ARGN})
  if(NOT WIN32)
    list(APPEND M_TEST_DEPS ${M_POSIX_TEST_DEPS})
  endif()
  set(dirs ${CMAKE_CURRENT_SOURCE_DIR} ${M_DIRS})
  set(srcs "")
  set(tests "")
  foreach(d ${dirs})
    file(GLOB s CONFIGURE_DEPENDS ${d}/*.cc)
    foreach(f ${s})
      get_filename_component(fname ${f} NAME)
      if(f MATCHES "_test\\.cc$")
        if(NOT (WIN32 AND fname IN_LIST M_POSIX_TESTS))
          list(APPEND tests ${f})
        endif()
      elseif(NOT (WIN32 AND fname IN_LIST M_POSIX_SOURCES))
        list(APPEND srcs ${f})
      endif()
    endforeach()
  endforeach()
  if(srcs)
    add_library(vexa_${NAME} STATIC ${srcs})
    target_link_libraries(vexa_${NAME} PUBLIC ${M_DEPS} Threads::Threads)
  else()
    add_library(vexa_${NAME} INTERFACE)
    target_link_libraries(vexa_${NAME} INTERFACE ${M_DEPS})
  endif()
  if(tests)
    add_executable(${NAME}_test ${tests})
    target_link_libraries(${NAME}_test PRIVATE vexa_${NAME} ${M_TEST_DEPS} GTest::gtest GTest::gtest_main)
    if("threaded" IN_LIST M_LABELS)
      add_dependencies(threaded_tests ${NAME}_test)
    endif()
    set(labels unit ${M_LABELS})
    set(env "VEXA_SOURCE_DIR=${CMAKE_SOURCE_DIR};VEXA_BINARY_DIR=${CMAKE_BINARY_DIR}")
    if(NOT M_SHARDS OR M_SHARDS LESS 2)
      add_test(NAME ${NAME} COMMAND ${NAME}_test)
      set_tests_properties(${NAME} PROPERTIES LABELS "${labels}" TIMEOUT 900 ENVIRONMENT "${env}")
    else()
      foreach(i RANGE 1 ${M_SHARDS})
        math(EXPR index "${i} - 1")
        add_test(NAME ${NAME}.${i} COMMAND ${NAME}_test)
        # The shards start first: each is among the longest entries of the run.
        set_tests_properties(${NAME}.${i} PROPERTIES LABELS "${labels}" TIMEOUT 900 COST 100
          ENVIRONMENT "${env};GTEST_TOTAL_SHARDS=${M_SHARDS};GTEST_SHARD_INDEX=${index}")
      endforeach()
    endif()
  endif()
endfunction()

# vexa_embed_file(TARGET SYMBOL FILE)
#
# Compiles FILE into TARGET as `std::string_view vexa::embedded::SYMBOL()`,
# regenerated whenever the file changes, so a web asset has one source file
# however many programs serve it.
function(vexa_embed_file TARGET SYMBOL FILE)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/embedded_${SYMBOL}.cc)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${FILE} -DOUTPUT=${out} -DSYMBOL=${SYMBOL}
            -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    DEPENDS ${FILE} ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    COMMENT "Embedding ${FILE}"
    VERBATIM)
  target_sources(${TARGET} PRIVATE ${out})
endfunction()

# vexa_unity(TARGET)
#
# Compiles the target's sources from the tree merged, eight files to a unit. The units name their
# files by paths inside the tree (CMake's own unity files use absolute paths), so ccache, keyed on
# such paths, also hits for a clone of the tree in another folder. Generated sources stay apart.
function(vexa_unity target)
  get_target_property(done ${target} VEXA_UNITY_DONE)
  if(done)
    return()
  endif()
  set_property(TARGET ${target} PROPERTY VEXA_UNITY_DONE TRUE)
  get_target_property(srcs ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  get_target_property(bin ${target} BINARY_DIR)
  set(kept "")
  set(includes "")
  foreach(s IN LISTS srcs)
    get_filename_component(abs ${s} ABSOLUTE BASE_DIR ${dir})
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${abs})
    string(FIND "${abs}" "${CMAKE_BINARY_DIR}/" in_build)
    if(abs MATCHES "\\.cc$" AND NOT rel MATCHES "^\\.\\." AND NOT in_build EQUAL 0)
      list(APPEND includes "#include \"${rel}\"")
    else()
      list(APPEND kept ${s})
    endif()
  endforeach()
  list(LENGTH includes n)
  if(n EQUAL 0)
    return()
  endif()
  set(units "")
  math(EXPR last "${n} - 1")
  foreach(start RANGE 0 ${last} 8)
    list(SUBLIST includes ${start} 8 batch)
    math(EXPR number "${start} / 8")
    set(unit ${bin}/${target}_unity_${number}.cc)
    string(JOIN "\n" content ${batch})
    file(CONFIGURE OUTPUT ${unit} CONTENT "${content}\n" @ONLY)
    list(APPEND units ${unit})
  endforeach()
  set_property(TARGET ${target} PROPERTY SOURCES ${kept} ${units})
endfunction()

# vexa_unity_all(DIR): vexa_unity for every executable and library below DIR (the sanitizer builds).
function(vexa_unity_all dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE" OR type STREQUAL "STATIC_LIBRARY")
      vexa_unity(${t})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(d IN LISTS subdirs)
    vexa_unity_all(${d})
  endforeach()
endfunction()
