# The native training engine: one extension module per torch it is built
# against, named after that torch (_engine_2_13_0_cpu for torch 2.13.0+cpu), so
# that one wheel can serve several torch releases; the module that matches the
# running torch is loaded at first use (_engine_gate.py).
#
# QALVO_ENGINE: AUTO builds an engine for each torch that QALVO_TORCH_PYTHONS'
# interpreters import (default: the build's interpreter) and that the engine is
# verified on, and records why not for the others; ON fails the build where no
# engine can be built; OFF builds none. The build backend (build_backend/)
# sets QALVO_TORCH_PYTHONS so that pip's build isolation does not hide the torch
# of the environment being installed into.

set(QALVO_ENGINE "AUTO" CACHE STRING "Build the native training engine: AUTO, ON or OFF")
set_property(CACHE QALVO_ENGINE PROPERTY STRINGS AUTO ON OFF)
set(QALVO_TORCH_PYTHONS "" CACHE STRING
    "Interpreters whose torch the engine is built against, one engine each")

string(TOUPPER "${QALVO_ENGINE}" qalvo_engine_mode)
if(qalvo_engine_mode MATCHES "^(1|TRUE|YES)$")
  set(qalvo_engine_mode ON)
elseif(qalvo_engine_mode MATCHES "^(0|FALSE|NO)$")
  set(qalvo_engine_mode OFF)
elseif(NOT qalvo_engine_mode MATCHES "^(AUTO|ON|OFF)$")
  message(FATAL_ERROR "QALVO_ENGINE must be AUTO, ON or OFF, not '${QALVO_ENGINE}'")
endif()

# The releases the engine is verified on: the package's own list.
file(READ ${CMAKE_SOURCE_DIR}/src/qalvo/models/rampnet/_verified_torch.py qalvo_verified_text)
string(REGEX MATCH "VERIFIED = \\(([^)]*)\\)" qalvo_unused "${qalvo_verified_text}")
string(REGEX MATCHALL "[0-9]+\\.[0-9]+\\.[0-9]+" QALVO_VERIFIED_TORCH "${CMAKE_MATCH_1}")
string(REPLACE ";" ", " qalvo_verified_list "${QALVO_VERIFIED_TORCH}")

set(qalvo_engines "")    # "version" -> (module, abi) entries of _engine_build.py
set(qalvo_not_built "")  # why a torch got no engine

macro(qalvo_engine_not_built reason)
  if(qalvo_engine_mode STREQUAL "ON")
    message(FATAL_ERROR "qalvo: QALVO_ENGINE=ON, but ${reason}")
  endif()
  message(STATUS "qalvo: no native training engine: ${reason}")
  list(APPEND qalvo_not_built "${reason}")
endmacro()

# Whether the compiler builds a unit that includes the headers the engine uses.
function(qalvo_compiles_against result includes abi)
  set(source ${CMAKE_BINARY_DIR}/engine_probe.cpp)
  file(WRITE ${source} "#include <ATen/core/Tensor.h>\n"
                       "#include <torch/csrc/autograd/python_variable.h>\n"
                       "int main() { return 0; }\n")
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)  # compiling is the question, not linking
  try_compile(compiled ${CMAKE_BINARY_DIR}/engine_probe ${source}
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${includes};${Python_INCLUDE_DIRS}"
    COMPILE_DEFINITIONS -D_GLIBCXX_USE_CXX11_ABI=${abi}
    CXX_STANDARD 20
    OUTPUT_VARIABLE output)
  if(NOT compiled)
    string(LENGTH "${output}" length)
    math(EXPR start "${length} - 1500")
    if(start LESS 0)
      set(start 0)
    endif()
    string(SUBSTRING "${output}" ${start} -1 tail)
    message(STATUS "qalvo: compiling against torch's headers failed:\n${tail}")
  endif()
  set(${result} ${compiled} PARENT_SCOPE)
endfunction()

function(qalvo_engine_module version abi includes library_dir)
  string(REGEX REPLACE "[^A-Za-z0-9]" "_" tag "${version}")
  set(target _engine_${tag})
  file(GLOB engine_sources CONFIGURE_DEPENDS
       ${CMAKE_SOURCE_DIR}/src/qalvo/models/rampnet/engine/*.cpp)
  python_add_library(${target} MODULE WITH_SOABI ${engine_sources})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/common)
  # torch's headers are not ours to warn about
  target_include_directories(${target} SYSTEM PRIVATE ${includes})
  target_compile_definitions(${target} PRIVATE
    _GLIBCXX_USE_CXX11_ABI=${abi}
    QALVO_TORCH_VERSION="${version}"
    QALVO_ENGINE_MODULE="${target}"
    QALVO_ENGINE_INIT=PyInit_${target})
  foreach(library c10 torch_cpu torch torch_python)
    unset(qalvo_${tag}_${library} CACHE)  # the torch of this configuration, never a cached one
    find_library(qalvo_${tag}_${library} NAMES ${library} PATHS ${library_dir}
                 NO_DEFAULT_PATH REQUIRED)
    target_link_libraries(${target} PRIVATE ${qalvo_${tag}_${library}})
  endforeach()
  # torch's libraries are found in the installed torch package, beside this
  # package in site-packages; the gate imports torch first, which loads them
  # wherever it lies. No path of the build machine is kept.
  # torch's headers need C++20 (from 2.14 on; torch builds its own extensions so)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "$ORIGIN/../../../torch/lib"
    BUILD_WITH_INSTALL_RPATH ON)
  qalvo_warnings_and_sanitizer(${target})
  install(TARGETS ${target} DESTINATION qalvo/models/rampnet)
  message(STATUS "qalvo: native training engine ${target} for torch ${version} (C++11 ABI ${abi})")
  set(qalvo_engine_target ${target} PARENT_SCOPE)
endfunction()

if(qalvo_engine_mode STREQUAL "OFF")
  qalvo_engine_not_built("qalvo was built with QALVO_ENGINE=OFF")
else()
  set(pythons "${QALVO_TORCH_PYTHONS}")
  if(NOT pythons)
    set(pythons "${Python_EXECUTABLE}")
  endif()
  foreach(python IN LISTS pythons)
    # -E: the variables of pip's isolated build would hide the torch installed
    # in the environment the package is built for
    execute_process(
      COMMAND "${python}" -E ${CMAKE_SOURCE_DIR}/build_backend/probe_torch.py
      OUTPUT_VARIABLE probe ERROR_VARIABLE probe_error RESULT_VARIABLE probe_failed
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(JSON version ERROR_VARIABLE no_version GET "${probe}" version)
    if(probe_failed OR no_version)
      string(JSON prefix ERROR_VARIABLE no_prefix GET "${probe}" prefix)
      if(no_prefix)
        set(prefix "${python}")
      endif()
      qalvo_engine_not_built(
        "torch was not importable in ${prefix} when qalvo was built (install torch first, then qalvo)")
      continue()
    endif()
    string(JSON abi GET "${probe}" cxx11_abi)
    string(JSON library_dir GET "${probe}" library_dir)
    string(JSON include_count LENGTH "${probe}" include_paths)
    set(includes "")
    math(EXPR last "${include_count} - 1")
    foreach(k RANGE ${last})
      string(JSON include GET "${probe}" include_paths ${k})
      list(APPEND includes "${include}")
    endforeach()
    string(REGEX REPLACE "\\+.*" "" public_version "${version}")
    if(NOT public_version IN_LIST QALVO_VERIFIED_TORCH)
      qalvo_engine_not_built(
        "torch ${version}, installed when qalvo was built, is not a release the engine is verified on (${qalvo_verified_list})")
      continue()
    endif()
    qalvo_compiles_against(compiles "${includes}" ${abi})
    if(NOT compiles)
      qalvo_engine_not_built(
        "the C++ compiler (${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER_VERSION}) could not compile against torch ${version}'s headers")
      continue()
    endif()
    qalvo_engine_module("${version}" ${abi} "${includes}" "${library_dir}")
    list(APPEND qalvo_engines "    \"${version}\": (\"${qalvo_engine_target}\", ${abi}),\n")
  endforeach()
endif()
if(qalvo_engine_mode STREQUAL "ON" AND NOT qalvo_engines)
  message(FATAL_ERROR "qalvo: QALVO_ENGINE=ON, but no native training engine can be built")
endif()

# What was built, readable before any engine is loaded: an engine built for
# another torch must not be loaded at all.
string(REPLACE ";" "" qalvo_engines "${qalvo_engines}")
set(qalvo_reasons "")
foreach(reason IN LISTS qalvo_not_built)
  string(REPLACE "\\" "\\\\" reason "${reason}")
  string(REPLACE "\"" "\\\"" reason "${reason}")
  string(APPEND qalvo_reasons "    \"${reason}\",\n")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/_engine_build.py
  "\"\"\"What the native training engine was built for (written by the build).\"\"\"\n\n"
  "# torch version -> (engine module, C++11 ABI of that torch)\n"
  "ENGINES = {\n${qalvo_engines}}\n\n"
  "# why a torch found at build time got no engine\n"
  "NOT_BUILT = [\n${qalvo_reasons}]\n")
install(FILES ${CMAKE_BINARY_DIR}/_engine_build.py DESTINATION qalvo/models/rampnet)
