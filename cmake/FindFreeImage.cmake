# Finds the FreeImage library. Debian ships neither a pkg-config file nor a
# CMake package for it, so look for the header and the library by name.
#
# Defines FreeImage_FOUND and the imported target FreeImage::FreeImage.
#
# A static build of the library (the fuzz build's instrumented one) needs the
# libraries it uses: name them in FreeImage_LINK_LIBRARIES.

find_path(FreeImage_INCLUDE_DIR NAMES FreeImage.h)
find_library(FreeImage_LIBRARY NAMES freeimage)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(FreeImage
  REQUIRED_VARS FreeImage_LIBRARY FreeImage_INCLUDE_DIR)

if(FreeImage_FOUND AND NOT TARGET FreeImage::FreeImage)
  add_library(FreeImage::FreeImage UNKNOWN IMPORTED)
  set_target_properties(FreeImage::FreeImage PROPERTIES
    IMPORTED_LOCATION "${FreeImage_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${FreeImage_INCLUDE_DIR}")
  if(FreeImage_LINK_LIBRARIES)
    set_target_properties(FreeImage::FreeImage PROPERTIES
      INTERFACE_LINK_LIBRARIES "${FreeImage_LINK_LIBRARIES}")
  endif()
endif()

mark_as_advanced(FreeImage_INCLUDE_DIR FreeImage_LIBRARY)
