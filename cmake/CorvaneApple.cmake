# Apple defaults that only take effect when set before project(): a universal
# binary for macOS 13 and later. Either can be overridden with -D on the first
# configure, e.g. -DCMAKE_OSX_ARCHITECTURES=arm64 for a quicker native build.
# Before project() only the host is known, so the host decides.
if(CMAKE_HOST_APPLE)
  set(CMAKE_OSX_DEPLOYMENT_TARGET "13.0" CACHE STRING "Oldest macOS the installer runs on")
  set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "Architectures of the installer")
endif()
