// A description of a BIRD package for people: its header, information
// block and blocks, with the verdict the update flows give. Shared by -C and
// the birdpack tool.
#ifndef UPDATER_BIRD_DESCRIPTION_H
#define UPDATER_BIRD_DESCRIPTION_H

#include <string>
#include <vector>

// What a check of a package found.
struct BirdPackageReport {
  bool loadable = false;              // the updater would accept and load it
  std::vector<std::string> lines;     // the description, one line each
  std::vector<std::string> problems;  // why it is not loadable, or what is odd
};

// Checks the package at path the way the update flows load one, and
// describes its header, information block and blocks. Opens only a regular
// file and touches no store.
BirdPackageReport DescribeBirdPackage(const std::string& path);

#endif
