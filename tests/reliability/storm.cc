// storm.cc - random and mutated datagrams, and the storm that sends them.
#include "storm.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace rel {

namespace {

constexpr size_t kMaxRequest = 256;
constexpr size_t kMaxReply = 128;

const char *const kWords[] = {"openSnmpSession",
                              "getSnmpData",
                              "getIpAddress",
                              "closeSession",
                              "getHostName",
                              "gethostname",
                              "GETHOSTNAME",
                              "hello",
                              "",
                              "SY_",
                              "close",
                              "0"};
const char *const kFields[] = {"0",
                               "1",
                               "2",
                               "4294967295",
                               "4294967296",
                               "-1",
                               "+7",
                               " 12",
                               "1.3.6.1.2.1.1.5.0",
                               "1.3.6.1.2.1.2.2.1.6.1",
                               ".1.3.6",
                               "1..3",
                               "1.3.6.1.4.1.32473.3.1.2.3.1.1.0",
                               "127.0.0.1",
                               "localhost",
                               "%s%n%x",
                               "\xff\xfe",
                               "99999999999999999999",
                               "1.3.6.1.2.1.4.20.1.2"};

}  // namespace

DatagramMaker::DatagramMaker(std::vector<std::string> corpus, uint64_t seed)
    : corpus_(std::move(corpus)), rng_(seed) {
  if (corpus_.empty()) corpus_.push_back("hello");
}

std::string DatagramMaker::randomBytes(size_t length) {
  std::string out(length, '\0');
  for (char &c : out) c = static_cast<char>(below(256));
  return out;
}

std::string DatagramMaker::structured() {
  std::string out = kWords[below(std::size(kWords))];
  size_t fields = below(6);
  for (size_t i = 0; i < fields; ++i) {
    out += '#';
    switch (below(4)) {
      case 0:
        out += kFields[below(std::size(kFields))];
        break;
      case 1: {  // an identifier of 1 to 70 components
        size_t n = 1 + below(70);
        for (size_t k = 0; k < n; ++k) {
          if (k > 0) out += '.';
          out += std::to_string(below(5000));
        }
        break;
      }
      case 2:
        out += std::string(1 + below(200), static_cast<char>('A' + below(26)));
        break;
      default:
        out += std::to_string(below(100));
        break;
    }
  }
  return out;
}

std::string DatagramMaker::mutate(std::string text) {
  size_t rounds = 1 + below(4);
  for (size_t r = 0; r < rounds; ++r) {
    size_t at = below(text.size() + 1);
    switch (below(13)) {
      case 0:  // flip a bit
        if (!text.empty()) text[std::min(at, text.size() - 1)] ^= static_cast<char>(1 << below(8));
        break;
      case 1:  // set a random byte
        if (!text.empty()) text[std::min(at, text.size() - 1)] = static_cast<char>(below(256));
        break;
      case 2:  // insert random bytes
        text.insert(at, randomBytes(1 + below(8)));
        break;
      case 3:  // remove a range
        text.erase(at, 1 + below(16));
        break;
      case 4:  // repeat a range
        if (!text.empty()) text.insert(at, text.substr(below(text.size()), 1 + below(32)));
        break;
      case 5:
        text.insert(at, 1, '#');
        break;
      case 6:
        text.insert(at, 1, '.');
        break;
      case 7:
        text.insert(at, 1, '\0');
        break;
      case 8:  // a long run
        text.insert(at, std::string(1 + below(250), below(2) ? '9' : 'x'));
        break;
      case 9:  // a huge or negative number
        text.insert(at, below(2) ? "18446744073709551617" : "-2147483649");
        break;
      case 10:  // change the case of everything
        for (char &c : text) {
          c = static_cast<char>(below(2) ? std::toupper(static_cast<unsigned char>(c))
                                         : std::tolower(static_cast<unsigned char>(c)));
        }
        break;
      case 11: {  // splice with another request
        const std::string &other = corpus_[below(corpus_.size())];
        text = text.substr(0, at) + other.substr(below(other.size() + 1));
        break;
      }
      default:  // cut
        text.resize(at);
        break;
    }
  }
  return text;
}

std::string DatagramMaker::next() {
  size_t kind = below(100);
  std::string out;
  if (kind < 20) {
    out = randomBytes(below(kMaxRequest + 1));
  } else if (kind < 23) {
    out = randomBytes(kMaxRequest + 1 + below(1200));  // over the limit: no reply is due
    return out;
  } else if (kind < 33) {
    out = structured();
  } else if (kind < 40) {
    out = corpus_[below(corpus_.size())];
  } else {
    out = mutate(corpus_[below(corpus_.size())]);
  }
  // Mostly within the limit; now and then just over it.
  if (out.size() > kMaxRequest && below(4) != 0) out.resize(kMaxRequest - below(3));
  return out;
}

std::string printable(const std::string &bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

StormResult runStorm(DatagramMaker &maker, std::vector<kt::UdpClient *> clients, uint16_t port,
                     int64_t count, std::chrono::milliseconds wait, std::chrono::milliseconds drain,
                     const std::function<bool()> &alive) {
  StormResult result;
  std::mt19937 pick(12345);
  auto start = std::chrono::steady_clock::now();
  auto check = [&result](const std::string &request, const std::string &reply) {
    if (reply.size() > kMaxReply) ++result.tooLong;
    if (reply.find('\0') != std::string::npos) ++result.withNul;
    if (!request.empty()) {
      double ratio = static_cast<double>(reply.size()) / static_cast<double>(request.size());
      if (ratio > result.maxRatio) {
        result.maxRatio = ratio;
        result.maxRatioRequest = request;
        result.maxRatioReply = reply;
      }
    }
  };
  for (int64_t i = 0; i < count; ++i) {
    std::string datagram = maker.next();
    kt::UdpClient *client = clients[pick() % clients.size()];
    if (!client->send("127.0.0.1", port, datagram)) continue;
    ++result.sent;
    if (datagram.size() > kMaxRequest) {
      ++result.oversize;
      continue;
    }
    ++result.due;
    if (auto reply = client->receive(wait)) {
      ++result.replies;
      check(datagram, *reply);
    } else {
      ++result.missing;
      if (!alive()) break;
    }
    if (i % 1000 == 999 && !alive()) break;
  }
  // Replies still under way (and any reply that should never have been sent).
  for (kt::UdpClient *client : clients) {
    while (auto reply = client->receive(drain)) {
      ++result.late;
      check("", *reply);
    }
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

}  // namespace rel
