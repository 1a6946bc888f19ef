# CLI11 and nlohmann-json for the command-line host: header-only, so one copy serves every
# target. Natively through their package configurations; in a cross build the build machine's
# headers are used through a folder that holds links to just these two, never the build
# machine's whole include directory (whose C library headers are not the target's).
# Defines the INTERFACE target kalvix3_header_only.
add_library(kalvix3_header_only INTERFACE)
if(NOT CMAKE_CROSSCOMPILING)
    find_package(CLI11 CONFIG REQUIRED)
    find_package(nlohmann_json 3.9 CONFIG REQUIRED)
    target_link_libraries(kalvix3_header_only INTERFACE CLI11::CLI11 nlohmann_json::nlohmann_json)
    return()
endif()
set(_kalvix3_header_dir ${CMAKE_BINARY_DIR}/header-only)
foreach(_library CLI/CLI.hpp nlohmann/json.hpp)
    get_filename_component(_folder ${_library} DIRECTORY)
    find_path(_kalvix3_found ${_library} PATHS /usr/include /usr/local/include
        NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT _kalvix3_found)
        message(FATAL_ERROR "${_library} not found: run scripts/deps.sh build")
    endif()
    file(MAKE_DIRECTORY ${_kalvix3_header_dir})
    file(CREATE_LINK ${_kalvix3_found}/${_folder} ${_kalvix3_header_dir}/${_folder} SYMBOLIC)
    unset(_kalvix3_found CACHE)
endforeach()
target_include_directories(kalvix3_header_only SYSTEM INTERFACE ${_kalvix3_header_dir})
