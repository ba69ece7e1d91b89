# The Windows test host (cross-build only; scripts/windows-check.sh runs it
# under wine). It loads the plug-in DLL through the SDK DLL and also links
# the embedded model itself, to check the engine's states on every tier.
add_executable(win_host ${CMAKE_CURRENT_LIST_DIR}/win_host.cpp)
target_link_libraries(win_host PRIVATE zelta_host_api aec_model)
target_compile_definitions(win_host PRIVATE AEC_WEIGHT_SHA256="${AEC_WEIGHT_SHA256}")
add_dependencies(win_host zelta_aiaec)
