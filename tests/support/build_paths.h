// Where the build put what the tests and benchmarks run: the program, the library that lists the
// descriptors a run leaves open, and the source tree (for the shipped documents and test data).
//
// The paths live in one source file that the build generates (build_paths.cpp in the build
// folder), not on the command line of every test: tests/CMakeLists.txt makes every target that
// links test_support include this header first. Compiled objects then do not depend on where the
// tree and its build folder lie, so that ccache serves one build folder or clone from another.
#pragma once

extern const char* const kTranscodeBinary;
extern const char* const kExitDescriptorsLibrary;
extern const char* const kTranscodeSourceDir;

#define TRANSCODE_BINARY kTranscodeBinary
#define EXIT_DESCRIPTORS_LIBRARY kExitDescriptorsLibrary
#define TRANSCODE_SOURCE_DIR kTranscodeSourceDir
