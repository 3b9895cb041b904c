#include "grid_release.hpp"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "parallel.hpp"

namespace velmora::privacy {
namespace {

constexpr double two_pi = 6.283185307179586;

template <typename T>
bool is_missing(const T* values, const std::uint8_t* missing, std::size_t i) {
    if (missing != nullptr) return missing[i] != 0;
    if constexpr (std::is_floating_point_v<T>) {
        return std::isnan(values[i]);
    } else {
        return false;
    }
}

template <typename T>
bool has_missing(const T* values, const std::uint8_t* missing, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (is_missing(values, missing, i)) return true;
    }
    return false;
}

}  // namespace

double noise_uniform(std::uint64_t word, std::uint64_t refinement) {
    const auto cell = static_cast<double>(word >> 11);
    if (!needs_refinement(word)) return (cell + 0.5) * 0x1p-53;
    return (cell + (static_cast<double>(refinement >> 11) + 0.5) * 0x1p-53) * 0x1p-53;
}

double fill_position(std::uint64_t word, std::uint64_t steps) {
    const auto product = static_cast<unsigned __int128>(word) * (static_cast<unsigned __int128>(steps) + 1);
    return static_cast<double>(static_cast<std::uint64_t>(product >> 64));
}

std::size_t noise_words(GridNoise noise, std::size_t cells) {
    return noise == GridNoise::laplace ? cells : 2 * ((cells + 1) / 2);
}

void noise_steps(GridNoise noise, double scale, const std::uint64_t* words, std::size_t cells,
                 const std::uint64_t* refinements, double* out) {
    std::size_t refined = 0;
    auto uniform = [&](std::uint64_t word) {
        return noise_uniform(word, needs_refinement(word) ? refinements[refined++] : 0);
    };
    if (noise == GridNoise::laplace) {
        for (std::size_t i = 0; i < cells; ++i) {
            const double magnitude = -std::log(uniform(words[i]));
            out[i] = round_half_even(scale * ((words[i] & 1U) != 0 ? -magnitude : magnitude));
        }
        return;
    }
    for (std::size_t i = 0; i < cells; i += 2) {
        const double radius = std::sqrt(-2.0 * std::log(uniform(words[i])));
        const double angle = two_pi * (static_cast<double>(words[i + 1] >> 11) * 0x1p-53);
        out[i] = round_half_even(scale * (radius * std::cos(angle)));
        if (i + 1 < cells) out[i + 1] = round_half_even(scale * (radius * std::sin(angle)));
    }
}

template <typename T>
void release_on_grid(const T* values, const std::uint8_t* missing, std::size_t size, const Grid<T>& grid,
                     GridNoise noise, double scale, const WordSource& source, std::size_t threads, T* out) {
    if (grid.steps == 0) {
        std::fill(out, out + size, grid.low);
        return;
    }
    const bool fill = has_missing(values, missing, size);
    const std::size_t blocks = (size + block_cells - 1) / block_cells;
    // The drawn blocks wait in a ring of slots, so that memory stays small and warm
    // whatever the column's length: block b uses slot b % slots once block b - slots is
    // done with it.
    constexpr std::size_t slots = 8;
    struct Slot {
        std::vector<std::uint64_t> noise;
        std::vector<std::uint64_t> fill;
        std::vector<std::uint64_t> refinements;  // one in 256 noise words needs one
    };
    std::vector<Slot> ring(std::min(slots, blocks));
    for (Slot& slot : ring) {
        slot.noise.resize(noise_words(noise, block_cells));
        if (fill) slot.fill.resize(block_cells);
        slot.refinements.reserve(block_cells / 64);
    }
    std::vector<std::atomic<std::size_t>> free_for(ring.size());  // the block that may fill the slot next
    for (std::size_t s = 0; s < ring.size(); ++s) free_for[s].store(s);
    std::atomic<std::size_t> ready{0};    // blocks drawn, in order
    std::atomic<std::size_t> claimed{0};  // blocks taken for their transform, in order
    const auto top = static_cast<double>(grid.steps);
    const std::size_t stride = noise == GridNoise::laplace ? 1 : 2;  // the noise words read as uniforms

    auto transform = [&](std::size_t b, std::vector<double>& drawn) {
        Slot& slot = ring[b % ring.size()];
        const std::size_t first = b * block_cells;
        const std::size_t cells = std::min(block_cells, size - first);
        noise_steps(noise, scale, slot.noise.data(), cells, slot.refinements.data(), drawn.data());
        const T* block_values = values + first;
        T* block_out = out + first;
        // A local copy: stores into `out` cannot alias it, so the loops vectorise.
        const Grid<T> local = grid;
        if (fill) {
            const std::uint64_t* fill_words = slot.fill.data();
            for (std::size_t i = 0; i < cells; ++i) {
                const double position = is_missing(values, missing, first + i)
                                            ? fill_position(fill_words[i], local.steps)
                                            : grid_position(block_values[i], local);
                block_out[i] = grid_value(keep_in_grid(position + drawn[i], top), local);
            }
        } else {
            for (std::size_t i = 0; i < cells; ++i) {
                block_out[i] = grid_value(keep_in_grid(grid_position(block_values[i], local) + drawn[i], top), local);
            }
        }
        free_for[b % ring.size()].store(b + ring.size(), std::memory_order_release);
    };
    // Claims the next block and transforms it: when `wait`, waiting for it to be drawn;
    // otherwise only when it is drawn already. Returns whether it transformed one.
    auto transform_next = [&](bool wait, std::vector<double>& drawn) {
        std::size_t b = claimed.load();
        for (;;) {
            if (b >= blocks || (!wait && b >= ready.load(std::memory_order_acquire))) return false;
            if (claimed.compare_exchange_weak(b, b + 1)) break;
        }
        while (ready.load(std::memory_order_acquire) <= b) std::this_thread::yield();
        transform(b, drawn);
        return true;
    };
    auto draw = [&](std::size_t b) {
        Slot& slot = ring[b % ring.size()];
        const std::size_t cells = std::min(block_cells, size - b * block_cells);
        const std::size_t noise_count = noise_words(noise, cells);
        std::size_t needed = 0;
        for (std::size_t w = 0; w < noise_count; ++w) {
            const std::uint64_t word = source.next_uint64(source.state);
            slot.noise[w] = word;
            needed += (w % stride == 0 && needs_refinement(word)) ? 1 : 0;
        }
        if (fill) {
            for (std::size_t i = 0; i < cells; ++i) slot.fill[i] = source.next_uint64(source.state);
        }
        slot.refinements.resize(needed);
        for (std::uint64_t& word : slot.refinements) word = source.next_uint64(source.state);
        ready.store(b + 1, std::memory_order_release);
    };

    const std::size_t used = std::max<std::size_t>(1, std::min(threads, blocks));
    run_parallel(used, [&](std::size_t t) {
        std::vector<double> drawn(block_cells);
        if (t == 0) {
            // The drawing thread: while block b's slot is still in use, it helps with
            // the blocks already drawn (one of them frees the slot).
            for (std::size_t b = 0; b < blocks; ++b) {
                while (free_for[b % ring.size()].load(std::memory_order_acquire) != b) {
                    if (!transform_next(false, drawn)) std::this_thread::yield();
                }
                draw(b);
            }
        }
        while (transform_next(true, drawn)) {
        }
    });
}

template void release_on_grid<double>(const double*, const std::uint8_t*, std::size_t, const Grid<double>&, GridNoise,
                                      double, const WordSource&, std::size_t, double*);
template void release_on_grid<std::int64_t>(const std::int64_t*, const std::uint8_t*, std::size_t,
                                            const Grid<std::int64_t>&, GridNoise, double, const WordSource&,
                                            std::size_t, std::int64_t*);
template void release_on_grid<std::uint64_t>(const std::uint64_t*, const std::uint8_t*, std::size_t,
                                             const Grid<std::uint64_t>&, GridNoise, double, const WordSource&,
                                             std::size_t, std::uint64_t*);

}  // namespace velmora::privacy
