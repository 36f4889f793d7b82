# Building the WebAssembly module of the JavaScript package (bindings/js)
# with Debian's emscripten (emcc), offline.
#   cmake -S bindings/js -B build-wasm --toolchain cmake/toolchains/wasm32-emscripten.cmake
# Debian's emcc finds its JavaScript modules through NODE_PATH (set it for
# the build too: NODE_PATH=/usr/share/nodejs cmake --build ...), and uses the
# prebuilt system libraries of its frozen cache.
set(QEL_EMSCRIPTEN_ROOT /usr/share/emscripten CACHE PATH "emscripten's install folder")
if(NOT DEFINED ENV{NODE_PATH})
  set(ENV{NODE_PATH} /usr/share/nodejs)
endif()
include(${QEL_EMSCRIPTEN_ROOT}/cmake/Modules/Platform/Emscripten.cmake)
