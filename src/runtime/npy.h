// NumPy .npy files: the interpreter's inputs and outputs. The header is
// parsed by xtensor's reader after the checks a file from anywhere needs
// (its length inside the file, its text a plain dictionary); the data must
// be exactly what the header says, little-endian and in C order. A .npz
// file is read through libzip.
#ifndef SARNIC_RUNTIME_NPY_H_
#define SARNIC_RUNTIME_NPY_H_

#include <map>
#include <span>
#include <string>

#include "sarnic/ndarray.h"

namespace sarnic::runtime {

// The array in `bytes`; a FormatError naming `what` otherwise.
NdArray ParseNpy(std::span<const std::byte> bytes, const std::string& what);
NdArray ReadNpy(const std::string& path);

// The arrays of a NumPy .npz file (a zip of .npy files, stored or
// compressed), by name without ".npy"; a FormatError naming `what` and the
// entry otherwise.
std::map<std::string, NdArray> ParseNpz(std::span<const std::byte> bytes,
                                        const std::string& what);
std::map<std::string, NdArray> ReadNpz(const std::string& path);

// The .npy bytes of `array`.
std::string NpyBytes(const NdArray& array);

}  // namespace sarnic::runtime

#endif  // SARNIC_RUNTIME_NPY_H_
