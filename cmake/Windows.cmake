# What the Windows cross build brings itself instead of Debian's Linux libraries.

# One self-contained DLL or program: no mingw runtime DLLs to ship beside it.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601)

# GoogleTest from the sources libgtest-dev ships (they define GTest::gtest and GTest::gtest_main).
set(VEXA_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to cross-compile")
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${VEXA_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# jsoncpp has no Windows build here; the header-only nlohmann json (nlohmann-json3-dev) reads the
# answers behind codec/json_answer. Only its folder is put on the include path: the rest of
# /usr/include is Linux's.
set(VEXA_NLOHMANN_INCLUDE /usr/include/nlohmann CACHE PATH "nlohmann json headers")
set(nlohmann_root ${CMAKE_BINARY_DIR}/third_party_include)
file(MAKE_DIRECTORY ${nlohmann_root})
file(CREATE_LINK ${VEXA_NLOHMANN_INCLUDE} ${nlohmann_root}/nlohmann SYMBOLIC)
add_library(vexa_json INTERFACE)
target_include_directories(vexa_json SYSTEM INTERFACE ${nlohmann_root})
target_compile_definitions(vexa_json INTERFACE VEXA_JSON_NLOHMANN=1)
