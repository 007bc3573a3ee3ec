# Settings that the native build and the Windows cross-build of the plug-in share,
# so that both compile the plug-in's sources the same way.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Log lines name their source file relative to the repository root.
get_filename_component(VSU_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
string(LENGTH "${VSU_SOURCE_ROOT}/" VSU_SOURCE_ROOT_LENGTH)

function(vsu_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()
