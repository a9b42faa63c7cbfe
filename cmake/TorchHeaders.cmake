# libtorch's headers are parsed once per build, into a precompiled header
# (TweenovaObjects'), which the targets below reuse. Loading it costs a few
# seconds a file, more than a file that never reaches libtorch needs in all:
# such files are compiled without it.

# Sets `result` to TRUE when `file` includes a libtorch header, itself or
# through the project's headers it includes (followed to any depth).
function(tweenova_reaches_torch file result)
  get_property(known GLOBAL PROPERTY "tweenova_torch:${file}" SET)
  if(known)
    get_property(reaches GLOBAL PROPERTY "tweenova_torch:${file}")
    set(${result} ${reaches} PARENT_SCOPE)
    return()
  endif()
  # Settled first as FALSE, so that headers including each other end the walk.
  set_property(GLOBAL PROPERTY "tweenova_torch:${file}" FALSE)
  get_filename_component(here ${file} DIRECTORY)
  set(roots ${here} ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/host/sdk/include
      ${PROJECT_SOURCE_DIR}/host/app/include)
  file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  set(reaches FALSE)
  foreach(line IN LISTS includes)
    if(line MATCHES "[<\"](torch|ATen|c10)/")
      set(reaches TRUE)
    elseif(line MATCHES "\"([^\"]+)\"")
      set(header ${CMAKE_MATCH_1})
      foreach(root IN LISTS roots)
        if(EXISTS ${root}/${header})
          tweenova_reaches_torch(${root}/${header} reaches)
          break()
        endif()
      endforeach()
    endif()
    if(reaches)
      break()
    endif()
  endforeach()
  set_property(GLOBAL PROPERTY "tweenova_torch:${file}" ${reaches})
  set(${result} ${reaches} PARENT_SCOPE)
endfunction()

# Gives `target` the precompiled libtorch headers (its own, or, with REUSE,
# TweenovaObjects') for the sources that reach libtorch only. Call it in the
# folder that made the target.
function(tweenova_torch_headers target)
  cmake_parse_arguments(arg "REUSE" "" "" ${ARGN})
  if(arg_REUSE)
    target_precompile_headers(${target} REUSE_FROM TweenovaObjects)
  else()
    target_precompile_headers(${target} PRIVATE <torch/script.h>)
  endif()
  get_target_property(sources ${target} SOURCES)
  get_target_property(folder ${target} SOURCE_DIR)
  foreach(source IN LISTS sources)
    get_filename_component(path ${source} ABSOLUTE BASE_DIR ${folder})
    if(path MATCHES "\\.cpp$")
      tweenova_reaches_torch(${path} reaches)
      if(NOT reaches)
        set_source_files_properties(${source} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
      endif()
    endif()
  endforeach()
endfunction()
