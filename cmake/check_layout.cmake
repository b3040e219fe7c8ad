# The arrows between the rooms of the code, checked by reading the includes
# (cmake -DSOURCE=<source folder> -P check_layout.cmake; fails on the first
# list of faults):
# - a room includes only headers of the rooms it may use:
#     image -> (none), correction -> image, files -> (none),
#     tiff -> image files, png -> image files, jpeg -> image files,
#     app -> every room of Im_proc
# - only the TIFF binding includes the TIFF library's headers, only the PNG
#   binding libpng's, only the JPEG binding libjpeg's;
# - only the platform units, plane memory and the safe replacement of files
#   include the operating system's headers;
# - no two units include each other (a unit: a .h and its .cpp).
cmake_minimum_required(VERSION 3.16)

set(uses_image "")
set(uses_correction "image")
set(uses_files "")
set(uses_tiff "image;files")
set(uses_png "image;files")
set(uses_jpeg "image;files")
set(uses_app "image;correction;files;tiff;png;jpeg")
# Headers of the operating system, not of the C or C++ library.
set(system_headers "unistd\\.h|fcntl\\.h|dirent\\.h|sched\\.h|signal\\.h|sys/.*|windows\\.h|io\\.h|aclapi\\.h|sddl\\.h|filesystem")

file(GLOB_RECURSE sources RELATIVE ${SOURCE} ${SOURCE}/Im_proc/*.h ${SOURCE}/Im_proc/*.cpp
     ${SOURCE}/app/*.h ${SOURCE}/app/*.cpp)

# The room of a file: the folder under Im_proc/ (its windows/ folder
# included), or app.
function(room_of path out)
  if(path MATCHES "^Im_proc/([^/]+)/")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  elseif(path MATCHES "^app/")
    set(${out} app PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(faults "")
foreach(path ${sources})
  get_filename_component(name ${path} NAME)
  room_of(${path} room)
  if(room STREQUAL "")
    list(APPEND faults "${path}: outside every room")
    continue()
  endif()
  set(room_of_${name} ${room})
endforeach()

foreach(path ${sources})
  room_of(${path} room)
  get_filename_component(unit ${path} NAME_WE)
  get_filename_component(name ${path} NAME)
  file(STRINGS ${SOURCE}/${path} includes REGEX "^#include ")
  foreach(line ${includes})
    if(line MATCHES "^#include \"([^\"]+)\"")
      set(header ${CMAKE_MATCH_1})
      get_filename_component(header_name ${header} NAME)
      get_filename_component(header_unit ${header} NAME_WE)
      set(to ${room_of_${header_name}})
      if(to STREQUAL "")
        list(APPEND faults "${path}: includes ${header}, which no room holds")
      elseif(NOT to STREQUAL room AND NOT to IN_LIST uses_${room})
        list(APPEND faults "${path}: ${room} may not use ${to} (${header})")
      endif()
      if(NOT header_unit STREQUAL unit)
        list(APPEND arrows "${unit}>${header_unit}")
      endif()
    elseif(line MATCHES "^#include <([^>]+)>")
      set(header ${CMAKE_MATCH_1})
      if(header MATCHES "^tiff" AND NOT room STREQUAL "tiff")
        list(APPEND faults "${path}: only the TIFF binding includes <${header}>")
      endif()
      if(header MATCHES "^(jpeglib|jerror)" AND NOT room STREQUAL "jpeg")
        list(APPEND faults "${path}: only the JPEG binding includes <${header}>")
      endif()
      if(header MATCHES "^png" AND NOT room STREQUAL "png")
        list(APPEND faults "${path}: only the PNG binding includes <${header}>")
      endif()
      if(header MATCHES "^(${system_headers})$" AND NOT unit STREQUAL "platform"
         AND NOT unit STREQUAL "plane_memory" AND NOT room STREQUAL "files")
        list(APPEND faults "${path}: only the platform units, plane memory and files include <${header}>")
      endif()
    endif()
  endforeach()
endforeach()

list(REMOVE_DUPLICATES arrows)
foreach(arrow ${arrows})
  string(REPLACE ">" ";" ends ${arrow})
  list(GET ends 0 from)
  list(GET ends 1 to)
  if(from STRLESS to AND "${to}>${from}" IN_LIST arrows)
    list(APPEND faults "${from} and ${to} include each other")
  endif()
endforeach()

if(faults)
  string(REPLACE ";" "\n  " text "${faults}")
  message(FATAL_ERROR "The layout's arrows are broken:\n  ${text}")
endif()
list(LENGTH sources count)
message(STATUS "${count} files, every arrow one way")
