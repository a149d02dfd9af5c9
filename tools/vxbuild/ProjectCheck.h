// ProjectCheck: everything vxbuild verifies about a project before it
// writes anything.
//
// The checks find what would otherwise give a broken setup file without a
// word: unknown elements and attributes (with the likely intended name),
// values the engine would read as something else, references to
// components, features and packages that do not exist, duplicate IDs,
// source files and folders that are missing or match nothing, names the
// engine cannot extract on Windows, conditions and "#expression#" parts the
// engine's evaluator would refuse, and a stub that is no engine. Errors stop
// the build; warnings name what may be intended and become errors with
// --strict.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "ProjectInput.h"
#include "database/kqXMLParser.h"

namespace vxbuild {

struct ProjectCheckOptions {
  std::filesystem::path project;  // the project file
  std::filesystem::path source;   // --source (relative to the current folder); empty: the project's
  std::filesystem::path stub;     // --stub; empty: the project's
  std::string setupName;          // --name; empty: the project's
  bool anyStub = false;           // accept a stub that is no program (tests of the package layout)
  bool files = true;              // check the file system (sources, stub); off for a text-only check
};

// Windows' MAX_PATH (260 with the terminating NUL) less a 100-character
// allowance for the folder a name is extracted or installed into: the
// longest name below that folder the engine can always write.
constexpr size_t kMaxNameBelowFolder = 259 - 100;
// The longest name of one path component on Windows.
constexpr size_t kMaxNameComponent = 255;

// Checks a read project (names and values already in its code page).
void CheckProject(const ProjectNode& root, const ProjectCheckOptions& options, Diagnostics& diags);

// Reads the project file as standard XML, converts it, checks it and
// returns the tree in the engine's dialect; null when it has errors (or
// warnings, with `strict`). Findings are in `diags`.
std::unique_ptr<vx::TXMLTag> LoadProject(const ProjectCheckOptions& options, Diagnostics& diags, bool strict);

// Parses `text` as the engine's evaluator would, without evaluating it:
// "" when it parses, else the evaluator's message (on one line). Names
// called like functions that are not built in are taken as functions a
// plug-in registers; they are added to `pluginFunctions`.
std::string CheckExpressionSyntax(std::string_view text, std::vector<std::string>* pluginFunctions = nullptr);

}  // namespace vxbuild
