// NumPy .npy and .npz files: the interpreter's inputs and outputs. The header
// is parsed by xtensor's reader after the checks a file from anywhere needs
// (its length inside the file, its text a plain dictionary); the data must
// be exactly what the header says, little-endian and in C order. A .npz
// file is read through libzip.
#ifndef SARNIC_NPY_H_
#define SARNIC_NPY_H_

#include <map>
#include <span>
#include <string>
#include <vector>

#include "sarnic/ndarray.h"

namespace sarnic {

// The array in `bytes`; a FormatError naming `what` otherwise.
NdArray ParseNpy(std::span<const std::byte> bytes, const std::string& what);
NdArray ReadNpy(const std::string& path);

// The arrays of a NumPy .npz file (a zip of .npy files, stored or
// compressed), by name without ".npy"; a FormatError naming `what` and the
// entry otherwise, and for an entry whose data does not match its CRC-32.
// With `max_bytes` (entry name -> the most bytes its .npy may take), every
// entry is held to it before a byte of it is read, and entries it does not
// name are refused together, in one error listing a few and their count.
std::map<std::string, NdArray> ParseNpz(
    std::span<const std::byte> bytes, const std::string& what,
    const std::map<std::string, std::size_t>* max_bytes = nullptr);
std::map<std::string, NdArray> ReadNpz(
    const std::string& path,
    const std::map<std::string, std::size_t>* max_bytes = nullptr);

// A few of `names`, quoted and escaped, and how many there are in all:
// "'a', 'b', 'c' and 17 more".
std::string SomeNames(const std::vector<std::string>& names);

// The .npy bytes of `array`.
std::string NpyBytes(const NdArray& array);

}  // namespace sarnic

#endif  // SARNIC_NPY_H_
