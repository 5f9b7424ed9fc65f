// Parts made in the folders of different scripts, for the cases where their
// openings meet on Prefetch threads: a temporary folder tree of the test's
// own, and the main script that interleaves two sides, each a splice of parts
// made in one folder, wrapped in DorvelFilter or called directly.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

class FolderParts {
 public:
  // One side of the interleave: the folder its parts are made in, relative
  // to the main script's ("" for the main script itself), and the function
  // and single string argument of each part.
  struct Side {
    std::string folder;
    std::vector<std::pair<std::string, std::string>> parts;
  };

  FolderParts() {
    root_ = std::filesystem::temp_directory_path() / ("dorvel-folder-parts-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(root_);
  }
  ~FolderParts() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  FolderParts(const FolderParts&) = delete;
  FolderParts& operator=(const FolderParts&) = delete;

  const std::filesystem::path& root() const { return root_; }

  // Writes `text` into the file at `name`, relative to the root.
  void Write(const std::string& name, const std::string& text) const {
    const std::filesystem::path path = root_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  // The text a client plays: the main script `name`, written with `prelude`
  // (the template T, the functions), imported by its full name. Each side's
  // splice is made by a script in its folder (the main script's own side,
  // inline), and the sides interleaved under Prefetch(`threads`), 0 for none.
  std::string Main(const std::string& name, const std::string& prelude, const std::vector<Side>& sides, bool wrapped,
                   int threads) const {
    std::string main = (wrapped ? "DorvelFilterLimit(2)\n" : "") + prelude + "\n";
    std::string interleave = "Interleave(";
    for (std::size_t i = 0; i < sides.size(); ++i) {
      const std::string splice = Splice(sides[i], wrapped);
      const std::string side = "side" + std::to_string(i);
      if (sides[i].folder.empty()) {
        main += side + " = " + splice + "\n";
      } else {
        const std::string script = sides[i].folder + "/" + name + "_" + side + (wrapped ? "_wrapped" : "") + ".avs";
        Write(script, splice + "\n");
        main += side + " = Import(\"" + script + "\")\n";
      }
      interleave += (i == 0 ? "" : ", ") + side;
    }
    main += interleave + ")" + (threads > 0 ? ".Prefetch(" + std::to_string(threads) + ")" : "") + "\n";
    const std::string file = name + (wrapped ? "_wrapped" : "") + ".avs";
    Write(file, main);
    return "Import(\"" + (root_ / file).string() + "\")";
  }

 private:
  static std::string Splice(const Side& side, bool wrapped) {
    std::string splice;
    for (const auto& part : side.parts) {
      const std::string argument = "\"" + part.second + "\"";
      splice +=
          (splice.empty() ? "" : " ++ ") +
          (wrapped ? "DorvelFilter(\"" + part.first + "\", [" + argument + "], T)" : part.first + "(" + argument + ")");
    }
    return splice;
  }

  std::filesystem::path root_;
};
