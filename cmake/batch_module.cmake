# velmora_torso_batch: the NumPy companion module, written with nanobind, in
# the same wheel as velmora_torso_kinematics. Included from the top-level
# CMakeLists.txt inside its module block, after Python has been found.

execute_process(COMMAND "${Python_EXECUTABLE}" -m nanobind --cmake_dir
  OUTPUT_STRIP_TRAILING_WHITESPACE OUTPUT_VARIABLE velmora_nanobind_dir RESULT_VARIABLE velmora_nanobind_found)
if(NOT velmora_nanobind_found EQUAL 0)
  message(FATAL_ERROR "velmora_torso_batch needs nanobind in ${Python_EXECUTABLE}: pip install nanobind")
endif()
find_package(nanobind CONFIG REQUIRED PATHS "${velmora_nanobind_dir}" NO_DEFAULT_PATH)

# The loops beside the core: plain C++ over strided views, no Python header.
file(GLOB velmora_batch_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/batch/*.cpp)
add_library(velmora_batch STATIC ${velmora_batch_sources})
target_include_directories(velmora_batch PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
find_package(Threads REQUIRED)
target_link_libraries(velmora_batch PUBLIC velmora_core Threads::Threads PRIVATE velmora_warnings)

# NB_STATIC: nanobind's runtime is linked into the module, not shared.
file(GLOB velmora_batch_module_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/batch_module/*.cpp)
nanobind_add_module(velmora_torso_batch NB_STATIC ${velmora_batch_module_sources})
target_include_directories(velmora_torso_batch PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(velmora_torso_batch PRIVATE velmora_batch velmora_warnings)
# nanobind marks its exception types for export; the version script keeps the
# init function as the one exported symbol.
velmora_export_init_only(velmora_torso_batch ${CMAKE_CURRENT_SOURCE_DIR}/src/batch_module/exports.map)
install(TARGETS velmora_torso_batch LIBRARY DESTINATION . COMPONENT python)

# The stub, written by nanobind's generator from the built module (which
# imports velmora_torso_kinematics for its arm type, built beside it), ships
# as a stub-only package like the first module's.
if(VELMORA_PREBUILT_STUBS)
  set(velmora_batch_stub ${VELMORA_PREBUILT_STUBS}/velmora_torso_batch.pyi)
else()
  set(velmora_batch_stub ${CMAKE_CURRENT_BINARY_DIR}/velmora_torso_batch.pyi)
  nanobind_add_stub(velmora_torso_batch_stub
    MODULE velmora_torso_batch
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/velmora_torso_batch.generated.pyi
    PYTHON_PATH $<TARGET_FILE_DIR:velmora_torso_batch> $<TARGET_FILE_DIR:velmora_torso_kinematics>
    DEPENDS velmora_torso_batch velmora_torso_kinematics)
  add_custom_command(OUTPUT ${velmora_batch_stub}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_CURRENT_BINARY_DIR}/velmora_torso_batch.generated.pyi
      -DOUTPUT=${velmora_batch_stub} -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/type_stub_all.cmake
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/velmora_torso_batch.generated.pyi ${CMAKE_CURRENT_SOURCE_DIR}/cmake/type_stub_all.cmake
    COMMENT "Typing __all__ in velmora_torso_batch.pyi")
  add_custom_target(velmora_torso_batch_typed_stub ALL DEPENDS ${velmora_batch_stub})
endif()
install(FILES ${velmora_batch_stub}
  DESTINATION velmora_torso_batch-stubs RENAME __init__.pyi COMPONENT python)

# The prepared core timed over the batch benchmark's inputs (bench/bench_batch.py
# runs it); built on request only.
add_executable(velmora_batch_core_timing EXCLUDE_FROM_ALL ${CMAKE_CURRENT_SOURCE_DIR}/bench/batch_core_timing.cpp)
target_link_libraries(velmora_batch_core_timing PRIVATE velmora_core velmora_warnings)
