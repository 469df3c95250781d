# What a build for Windows takes from the build machine: the header-only
# libraries (CLI11, nlohmann-json) through an include folder that holds them
# alone, GoogleTest built from Debian's sources, and a runtime linked in
# whole, so that the programs need no DLL beside them. Tests run under Wine,
# in a Wine folder of the build tree's own (never ~/.wine).

# Each header library as a target whose include folder links only to it.
function(qw_host_headers target folder)
    set(root ${PROJECT_BINARY_DIR}/host-headers/${target})
    file(MAKE_DIRECTORY ${root})
    if(NOT EXISTS ${root}/${folder})
        file(CREATE_LINK /usr/include/${folder} ${root}/${folder} SYMBOLIC)
    endif()
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    target_include_directories(${target} SYSTEM INTERFACE ${root})
endfunction()
qw_host_headers(CLI11::CLI11 CLI)
qw_host_headers(nlohmann_json::nlohmann_json nlohmann)
set(CLI11_FOUND TRUE)
set(nlohmann_json_FOUND TRUE)

add_link_options(-static)
# Windows 7 is the oldest system the programs run on: its headers alone are
# seen, so a newer call does not compile unless it is looked up at run time
# (GetProcAddress) with a way for Windows 7.
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                        _WIN32_WINNT=0x0601 WINVER=0x0601 NTDDI_VERSION=0x06010000)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The 32-bit build: floating point in SSE2 registers, as the 64-bit
    # build does it (the x87 unit's wider registers could round otherwise),
    # and 4 GB of address space where it runs on a 64-bit Windows.
    add_compile_options(-msse2 -mfpmath=sse)
    add_link_options(-Wl,--large-address-aware)
endif()

if(QW_BUILD_TESTS)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Debian's sources name their targets GTest::gtest and GTest::gtest_main
    # themselves.

endif()

# Programs of the build (the icon's drawing, the tests) run under Wine.
find_program(QW_WINE NAMES wine wine64 REQUIRED NO_CMAKE_FIND_ROOT_PATH)
# The 32-bit build's run in a 32-bit Wine folder, as on a 32-bit Windows
# (wine32, Debian's i386 architecture).
set(QW_WINEPREFIX ${PROJECT_BINARY_DIR}/wine)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${PROJECT_SOURCE_DIR}/scripts/wine-run;--win32;${QW_WINEPREFIX};${QW_WINE})
else()
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${PROJECT_SOURCE_DIR}/scripts/wine-run;${QW_WINEPREFIX};${QW_WINE})
endif()
