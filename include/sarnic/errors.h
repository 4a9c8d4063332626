// The exporter's failures. Each kind mirrors a failure class of the export
// (value, key, type, index, I/O). Nothing inside the library catches them:
// they reach the caller of run() unchanged, and the tools turn them into one
// "error:" line.
#ifndef SARNIC_ERRORS_H_
#define SARNIC_ERRORS_H_

#include <stdexcept>
#include <string>

namespace sarnic {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure whose fixed message text and offending detail are kept apart;
// what() joins them with a space.
class DetailedError : public Error {
 public:
  explicit DetailedError(std::string message, std::string detail = "");
  const std::string& message() const { return message_; }
  const std::string& detail() const { return detail_; }

 private:
  std::string message_;
  std::string detail_;
};

// A value of the right kind but an unusable content.
class ValueError : public DetailedError {
 public:
  using DetailedError::DetailedError;
};

// A file whose content breaks its format (a graph file, a weights file, a
// model file). The file, the place inside it ("nodes[3]", "node 'conv'
// attribute 'w'"; empty for the file as a whole) and the problem are kept
// apart; what() reads "file: place: problem" (or "file: problem"), and so
// do message() and the tools' error line.
class FormatError : public ValueError {
 public:
  FormatError(std::string file, std::string place, std::string problem);
  const std::string& file() const { return file_; }
  const std::string& place() const { return place_; }
  const std::string& problem() const { return problem_; }

 private:
  std::string file_;
  std::string place_;
  std::string problem_;
};

// A lookup of a name that is not there: a node attribute, a layer that has
// not been exported yet, a tensor. key() is the name looked up.
class KeyError : public Error {
 public:
  KeyError(std::string key, const std::string& what);
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// A value of the wrong kind (a text where a list of integers is needed).
class TypeError : public Error {
 public:
  using Error::Error;
};

// A position outside a sequence.
class IndexError : public Error {
 public:
  using Error::Error;
};

// A broken invariant of the exporter itself or of the builder's protocol
// (a table left open, an operation registered twice): a fault in the code,
// not in the input.
class InternalError : public Error {
 public:
  using Error::Error;
};

// A file that cannot be read or written: the message is fixed ("cannot
// read graph file"), the detail names the path and the reason.
class IoError : public DetailedError {
 public:
  using DetailedError::DetailedError;
};

}  // namespace sarnic

#endif  // SARNIC_ERRORS_H_
