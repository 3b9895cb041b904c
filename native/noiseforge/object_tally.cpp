#include "object_tally.hpp"

namespace velmora::noiseforge {
namespace {

// Open addressing over the distinct str seen so far; slots hold an index into the
// tally's keys, or -1. str caches its hash, so hashing a repeated object is a load.
class StrTable {
public:
    StrTable() : slots_(64, -1) {}

    // The index of `value` among the keys, adding it when new.
    std::int64_t find_or_add(py::handle value, py::ssize_t hash, std::vector<py::handle>& keys,
                             std::vector<py::ssize_t>& hashes) {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t at = static_cast<std::size_t>(hash) & mask;; at = (at + 1) & mask) {
            std::int64_t slot = slots_[at];
            if (slot < 0) {
                slots_[at] = static_cast<std::int64_t>(keys.size());
                keys.push_back(value);
                hashes.push_back(hash);
                if (keys.size() * 2 > slots_.size()) grow(hashes);
                return static_cast<std::int64_t>(keys.size()) - 1;
            }
            py::handle key = keys[static_cast<std::size_t>(slot)];
            if (key.is(value)) return slot;
            if (hashes[static_cast<std::size_t>(slot)] == hash && str_equal(key, value)) return slot;
        }
    }

private:
    void grow(const std::vector<py::ssize_t>& hashes) {
        std::vector<std::int64_t> bigger(slots_.size() * 2, -1);
        std::size_t mask = bigger.size() - 1;
        for (std::size_t key = 0; key < hashes.size(); ++key) {
            std::size_t at = static_cast<std::size_t>(hashes[key]) & mask;
            while (bigger[at] >= 0) at = (at + 1) & mask;
            bigger[at] = static_cast<std::int64_t>(key);
        }
        slots_.swap(bigger);
    }

    std::vector<std::int64_t> slots_;
};

}  // namespace

std::optional<StrTally> tally_str_column(const py::array& objects) {
    const ObjectCells cells(objects);
    StrTable table;
    // Borrowed: the column array holds every key for as long as this function runs.
    std::vector<py::handle> keys;
    std::vector<py::ssize_t> hashes;
    StrTally tally;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        py::handle value = cells[i];
        if (!is_exact_str(value)) {
            if (is_missing_scalar(value)) continue;
            return std::nullopt;
        }
        py::ssize_t hash = py::hash(value);
        std::size_t key = static_cast<std::size_t>(table.find_or_add(value, hash, keys, hashes));
        if (key == tally.counts.size()) tally.counts.push_back(0);
        ++tally.counts[key];
        ++tally.present;
    }
    for (py::handle key : keys) tally.keys.append(py::reinterpret_borrow<py::object>(key));
    return tally;
}

py::object StrTally::value_counts(const Call& call) const {
    py::object pd = call.global("pd");
    py::object object_type = builtin("object");
    py::array_t<std::int64_t> values(static_cast<py::ssize_t>(counts.size()), counts.data());
    py::object index = pd.attr("Index")(unique_values(call), py::arg("dtype") = object_type);
    // value_counts sorts the first-appearance tally with Series.sort_values; the same
    // sort of the same tally gives the same order among equal counts.
    return pd.attr("Series")(values, py::arg("index") = index).attr("sort_values")(py::arg("ascending") = false);
}

py::object StrTally::unique_values(const Call& call) const {
    py::object np = call.global("np");
    py::object array = np.attr("empty")(py::len(keys), py::arg("dtype") = builtin("object"));
    for (std::size_t i = 0; i < py::len(keys); ++i) velmora::set_item(array, py::int_(i), keys[i]);
    return array;
}

}  // namespace velmora::noiseforge
