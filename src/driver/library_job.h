// A library job: every chosen cartridge of a tape library dumped (or listed) unattended, one
// worker per drive, all at once. The changer is asked for its inventory with barcodes; each
// cartridge is moved into a free drive that reads it, its job runs as a job of one tape in a
// process of its own (with its own save path SAVE/<barcode>/ and working directory
// WORK/<barcode>/, so that its history, cache and lock are its own), and it goes back to its slot.
// A journal in the working directory ("library.journal") records every cartridge's outcome: the
// same command with -r skips the cartridges that are done and resumes the others.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct LibraryJob {
  std::string changer;              // the changer: an sg node, or a virtual library directory
  std::vector<std::string> drives;  // the drives the job may use
  std::optional<std::pair<int, int>> slots;  // --slots FIRST-LAST (1-based storage slots)
  std::vector<std::string> barcodes;          // --barcodes: only these
  bool resume = false;                        // -r
  std::string save_root;                      // SAVE: each cartridge's save path is SAVE/<barcode>
  // Runs the job of one cartridge in the process made for it, in its working directory, and
  // returns its exit status: `drive`, the cartridge's save path, and whether it resumes.
  std::function<int(const std::string& drive, const std::string& save_path, bool resume)> run_one;
};

// Runs the library job; returns its exit status: 0 when every cartridge is complete, 2 when
// objects were lost, 1 when a cartridge or the library failed.
int run_library_job(const LibraryJob& job);
