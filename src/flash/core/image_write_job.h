// The state of one run of write_image and its steps; its parts live in image_write*.cpp, one
// file a step. Internal to the flash layer: faces call write_image. Runs on the flash worker.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "flash/core/chip_pages.h"
#include "flash/core/image_write.h"
#include "flash/core/load_spoils.h"
#include "flash/core/page_io.h"

namespace kestrel {

namespace engine {

class Job {
  public:
    Job(std::span<const std::uint8_t> image, const ImageWriteOptions& options,
        const FlashJobHooks& hooks);

    // The whole run, as write_image describes it.
    [[nodiscard]] ImageWriteResult run();

  private:
    // image_write.cpp: the program stage, one image page at a time.
    [[nodiscard]] ImageWrite program();
    [[nodiscard]] ImageWrite program_page(int k);
    [[nodiscard]] ImageWrite identify();
    [[nodiscard]] ImageWriteResult end(ImageWrite outcome);
    void disable_writes();

    // image_write_erase.cpp: the chip erase and its wait.
    [[nodiscard]] ImageWrite erase();
    [[nodiscard]] ImageWrite wait_erased(int& busy_polls);

    // image_write_resume.cpp: whether the chip can be written on without an erase. True when
    // every page is right or blank (need_ then marks the image pages still to program); false
    // with result_.outcome set when the check itself failed or was stopped.
    [[nodiscard]] bool resumable();
    [[nodiscard]] ImageWrite wait_ready_for_resume();

    // image_write_verify.cpp: the read-back, and the mending of pages it finds wrong.
    [[nodiscard]] ImageWrite verify();
    [[nodiscard]] std::vector<int>& verify_list();
    [[nodiscard]] bool mend(int k, const FlashPage& now);
    [[nodiscard]] PageProgram repair(int k, int last);
    [[nodiscard]] PageProgram program_whole_or_pieces(int k, const FlashPage& want,
                                                      const FlashPage& now, ProgramCheck check);
    [[nodiscard]] ProgramCheck check() const;

    int chip_pages_;
    std::span<const std::uint8_t> image_;
    const ImageWriteOptions& options_;
    const FlashJobHooks& hooks_;
    ImageWriteResult result_;
    std::vector<bool> need_;       // image pages this run must program
    std::vector<int> programmed_;  // pages it did program, ascending
    std::vector<int> repairs_ = std::vector<int>(kFlashPages / kPagesPerSector, 0);
    LoadSpoils spoils_;
};

// "erased; pages 0 to 1233 programmed; " then, or "erased; nothing programmed; " then.
[[nodiscard]] std::string programmed_state(int pages_done, const std::string& then);

}  // namespace engine

}  // namespace kestrel
