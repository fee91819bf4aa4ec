#pragma once
// The keyword-store tests' fixtures: a throwaway program folder and store
// records laid out byte by byte.
#include "tests/support/KeywordRecords.h"
#include "tests/support/ProgramFolderFixture.h"
