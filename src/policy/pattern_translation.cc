#include "policy/pattern_translation.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <limits>
#include <vector>

namespace trb {
namespace {

using Kind = PatternNode::Kind;

constexpr int64_t kInf = std::numeric_limits<int64_t>::max();
constexpr uint64_t kHuge = uint64_t{1} << 50;

int64_t Add(int64_t a, int64_t b) { return a == kInf || b == kInf || a > kInf - b ? kInf : a + b; }
int64_t Mul(int64_t a, int64_t b) {
  if (a == 0 || b == 0) return 0;
  return a == kInf || b == kInf || a > kInf / b ? kInf : a * b;
}
uint64_t Sat(uint64_t v) { return std::min(v, kHuge); }

struct Width {
  int64_t lo = 0;
  int64_t hi = 0;  // kInf: unbounded
};

int SetSize(const ByteSet& s) {
  int n = 0;
  for (uint64_t w : s.bits) n += std::popcount(w);
  return n;
}

// A set that stands for one letter or byte (case folding gives a letter two bytes).
bool IsLiteral(const ByteSet& s) {
  const int n = SetSize(s);
  if (n == 1) return true;
  if (n != 2) return false;
  for (int c = 'a'; c <= 'z'; ++c)
    if (s.Has(static_cast<uint8_t>(c)) && s.Has(static_cast<uint8_t>(c - 'a' + 'A'))) return true;
  return false;
}

void AppendByte(std::string& out, int b) {
  if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) {
    out += static_cast<char>(b);
  } else {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x{%02x}", b);
    out += buf;
  }
}

enum class Engine { kPcre2, kRe2 };

class Emitter {
 public:
  Emitter(const PatternTree& tree, Engine engine) : t_(tree), engine_(engine) {
    widths_.resize(t_.nodes.size());
    done_.resize(t_.nodes.size());
    dot_ = ByteSet{};
    for (int v = 0; v < 256; ++v)
      if (v != '\n' && v != '\r') dot_.Add(static_cast<uint8_t>(v));
    // Groups that a back-reference needs, numbered in the order they open, which is the
    // order of their numbers.
    capture_of_.assign(static_cast<size_t>(t_.groups) + 1, 0);
    for (const PatternNode& n : t_.nodes)
      if (n.kind == Kind::kBackref) capture_of_[static_cast<size_t>(n.group)] = 1;
    for (size_t g = 1; g < capture_of_.size(); ++g)
      if (capture_of_[g]) capture_of_[g] = ++captures_;
  }

  // The prefix form of the whole tree; false when it cannot be said faithfully.
  bool Emit(std::string* out) {
    const PatternNode& root = t_.nodes[t_.root];
    std::vector<uint32_t> alternatives = {t_.root};
    if (root.kind == Kind::kAlt) alternatives = root.children;
    for (size_t i = 0; i < alternatives.size(); ++i) {
      if (i) *out += '|';
      *out += "(?:";
      const uint32_t a = alternatives[i];
      const PatternNode& n = t_.nodes[a];
      if (HasTail(n)) {
        for (size_t k = 0; k + 2 < n.children.size(); ++k) Node(n.children[k], {}, out);
        if (engine_ == Engine::kPcre2) *out += "(?C1)";
      } else {
        Node(a, {}, out);
        *out += "\\z";
      }
      *out += ')';
    }
    return ok_;
  }

  int captures() const { return captures_; }

  // The tree's last alternative, and any other that ends the same way, in "... .*$".
  bool HasTail(const PatternNode& n) const {
    if (n.kind != Kind::kConcat || n.children.size() < 2) return false;
    const PatternNode& end = t_.nodes[n.children.back()];
    const PatternNode& rep = t_.nodes[n.children[n.children.size() - 2]];
    return end.kind == Kind::kEnd && rep.kind == Kind::kRepeat && rep.min == 0 && rep.max < 0 &&
           t_.nodes[rep.children[0]].kind == Kind::kSet && t_.nodes[rep.children[0]].set == dot_;
  }

  Width WidthOf(uint32_t i) {
    if (done_[i]) return widths_[i];
    const PatternNode& n = t_.nodes[i];
    Width w;
    switch (n.kind) {
      case Kind::kSet:
        w = {1, 1};
        break;
      case Kind::kConcat:
        for (uint32_t c : n.children) {
          const Width cw = WidthOf(c);
          w = {Add(w.lo, cw.lo), Add(w.hi, cw.hi)};
        }
        break;
      case Kind::kAlt:
        w = {kInf, 0};
        for (uint32_t c : n.children) {
          const Width cw = WidthOf(c);
          w = {std::min(w.lo, cw.lo), std::max(w.hi, cw.hi)};
        }
        break;
      case Kind::kGroup:
        w = WidthOf(n.children[0]);
        break;
      case Kind::kRepeat: {
        const Width cw = WidthOf(n.children[0]);
        w = {Mul(cw.lo, n.min), n.max < 0 ? (cw.hi == 0 ? 0 : kInf) : Mul(cw.hi, n.max)};
        break;
      }
      case Kind::kBackref:
        w = {0, kInf};
        break;
      default:  // empty and assertions
        break;
    }
    done_[i] = true;
    return widths_[i] = w;
  }

 private:
  // Where a node starts, counted from the start of the innermost lookahead around it
  // (libstdc++ runs a lookahead as a match of its own that begins there, so ^ holds there
  // and \b sees nothing before it). Outside any lookahead `inside` is false.
  struct Offset {
    bool inside = false;
    int64_t lo = 0;
    int64_t hi = 0;
  };

  void Set(const ByteSet& s, std::string* out) {
    const int n = SetSize(s);
    if (n == 0) {
      *out += engine_ == Engine::kPcre2 ? "(?!)" : "[^\\x00-\\x{ff}]";
      return;
    }
    if (n == 1) {
      for (int b = 0; b < 256; ++b)
        if (s.Has(static_cast<uint8_t>(b))) AppendByte(*out, b);
      return;
    }
    *out += '[';
    for (int b = 0; b < 256;) {
      if (!s.Has(static_cast<uint8_t>(b))) {
        ++b;
        continue;
      }
      int e = b;
      while (e + 1 < 256 && s.Has(static_cast<uint8_t>(e + 1))) ++e;
      AppendByte(*out, b);
      if (e > b) {
        *out += '-';
        AppendByte(*out, e);
      }
      b = e + 1;
    }
    *out += ']';
  }

  void WordClass(std::string* out) {
    ByteSet word;
    for (int b = 0; b < 256; ++b)
      if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_')
        word.Add(static_cast<uint8_t>(b));
    Set(word, out);
  }

  void Node(uint32_t i, Offset at, std::string* out) {
    if (!ok_) return;
    const PatternNode& n = t_.nodes[i];
    switch (n.kind) {
      case Kind::kEmpty:
        return;
      case Kind::kSet:
        return Set(n.set, out);
      case Kind::kConcat:
        for (uint32_t c : n.children) {
          Node(c, at, out);
          const Width w = WidthOf(c);
          at.lo = Add(at.lo, w.lo);
          at.hi = Add(at.hi, w.hi);
        }
        return;
      case Kind::kAlt:
        *out += "(?:";
        for (size_t k = 0; k < n.children.size(); ++k) {
          if (k) *out += '|';
          Node(n.children[k], at, out);
        }
        *out += ')';
        return;
      case Kind::kGroup:
        *out += capture_of_[static_cast<size_t>(n.group)] ? "(" : "(?:";
        Node(n.children[0], at, out);
        *out += ')';
        return;
      case Kind::kRepeat:
        return Repeat(n, at, out);
      case Kind::kBegin:
        if (!at.inside) {
          *out += "\\A";
        } else if (at.lo > 0) {
          *out += "(?!)";
        } else if (at.hi != 0) {
          ok_ = false;  // holds on some paths only
        }
        return;
      case Kind::kEnd:
        *out += "\\z";
        return;
      case Kind::kWordBoundary:
        // Both libraries take word bytes to be ASCII letters, digits and '_', as libstdc++
        // does in the classic locale (the browser never sets another C++ locale).
        if (!at.inside || at.lo > 0) {
          *out += n.negated ? "\\B" : "\\b";
        } else if (at.hi == 0) {
          *out += n.negated ? "(?!" : "(?=";
          WordClass(out);
          *out += ')';
        } else {
          ok_ = false;
        }
        return;
      case Kind::kLookahead:
        if (engine_ == Engine::kRe2) {
          ok_ = false;
          return;
        }
        *out += n.negated ? "(?!" : "(?=";
        Node(n.children[0], {true, 0, 0}, out);
        *out += ')';
        return;
      case Kind::kBackref: {
        if (engine_ == Engine::kRe2 || InsideLookahead(n.group)) {
          ok_ = false;
          return;
        }
        const int capture = capture_of_[static_cast<size_t>(n.group)];
        *out += "(?C`" + std::to_string(capture) + "`)(?i:\\g{" + std::to_string(capture) + "})";
        return;
      }
    }
  }

  // Lazy everywhere for PCRE2: a yes-or-no answer is the same whichever order the paths are
  // tried in (captures only matter to back-references, and those to groups inside a
  // lookahead, the one place where the first path found counts, are refused), and trying
  // short paths first finds an origin's match without running through a long URL.
  void Repeat(const PatternNode& n, Offset at, std::string* out) {
    if (engine_ == Engine::kRe2 && (n.min > 1000 || n.max > 1000)) {
      ok_ = false;
      return;
    }
    const Width cw = WidthOf(n.children[0]);
    Offset inner = at;
    if (n.max < 0) {
      if (cw.hi > 0) inner.hi = kInf;
    } else if (n.max > 1) {
      inner.hi = Add(at.hi, Mul(cw.hi, n.max - 1));
    }
    *out += "(?:";
    Node(n.children[0], inner, out);
    *out += ')';
    if (n.min == 0 && n.max < 0) {
      *out += '*';
    } else if (n.min == 1 && n.max < 0) {
      *out += '+';
    } else if (n.min == 0 && n.max == 1) {
      *out += '?';
    } else {
      *out += '{' + std::to_string(n.min);
      if (n.max != n.min) *out += ',' + (n.max < 0 ? std::string() : std::to_string(n.max));
      *out += '}';
    }
    if (engine_ == Engine::kPcre2) *out += '?';
  }

  bool InsideLookahead(int group) {
    if (lookahead_groups_.empty()) {
      lookahead_groups_.assign(static_cast<size_t>(t_.groups) + 1, false);
      for (const PatternNode& n : t_.nodes)
        if (n.kind == Kind::kLookahead) MarkGroups(n.children[0]);
    }
    return lookahead_groups_[static_cast<size_t>(group)];
  }
  void MarkGroups(uint32_t i) {
    const PatternNode& n = t_.nodes[i];
    if (n.kind == Kind::kGroup && n.group > 0)
      lookahead_groups_[static_cast<size_t>(n.group)] = true;
    for (uint32_t c : n.children) MarkGroups(c);
  }

  const PatternTree& t_;
  Engine engine_;
  bool ok_ = true;
  ByteSet dot_;
  std::vector<Width> widths_;
  std::vector<bool> done_;
  std::vector<int> capture_of_;
  int captures_ = 0;
  std::vector<bool> lookahead_groups_;
};

// NFA positions, counted repeats expanded.
uint64_t Size(const PatternTree& t, uint32_t i) {
  const PatternNode& n = t.nodes[i];
  uint64_t s = 1;
  switch (n.kind) {
    case Kind::kConcat:
    case Kind::kAlt:
      s = n.kind == Kind::kAlt;
      for (uint32_t c : n.children) s = Sat(s + Size(t, c));
      break;
    case Kind::kGroup:
    case Kind::kLookahead:
      s = Size(t, n.children[0]);
      break;
    case Kind::kRepeat: {
      const uint64_t times = static_cast<uint64_t>(n.max < 0 ? std::max(n.min, 1) : n.max);
      s = Sat(Sat(Size(t, n.children[0]) * times) + times);
      break;
    }
    default:
      break;
  }
  return s;
}

// One unbounded repeat, of a byte set, directly in a top-level alternative and followed only
// by byte sets (at most six of them not plain letters) and assertions; nothing else
// unbounded anywhere (`unbounded` counts them).
void Tameness(const PatternTree& t, Emitter& e, int* unbounded, bool* tame) {
  std::vector<uint32_t> alternatives = {t.root};
  if (t.nodes[t.root].kind == Kind::kAlt) alternatives = t.nodes[t.root].children;
  *unbounded = 0;
  *tame = true;
  for (uint32_t a : alternatives) {
    const PatternNode& n = t.nodes[a];
    std::vector<uint32_t> items = {a};
    if (n.kind == Kind::kConcat) items = n.children;
    if (e.HasTail(n)) items.resize(items.size() - 2);
    for (size_t k = 0; k < items.size(); ++k) {
      if (e.WidthOf(items[k]).hi != kInf) continue;
      ++*unbounded;
      const PatternNode& rep = t.nodes[items[k]];
      if (rep.kind != Kind::kRepeat || t.nodes[rep.children[0]].kind != Kind::kSet) {
        *tame = false;
        continue;
      }
      int wide = 0;
      for (size_t j = k + 1; j < items.size(); ++j) {
        const PatternNode& after = t.nodes[items[j]];
        if (after.kind == Kind::kSet) {
          wide += !IsLiteral(after.set);
        } else if (after.kind != Kind::kBegin && after.kind != Kind::kEnd &&
                   after.kind != Kind::kWordBoundary) {
          *tame = false;
        }
      }
      if (wide > 6) *tame = false;
    }
  }
  if (*unbounded != 1) *tame = *unbounded == 0;
}

}  // namespace

Translation Translate(const PatternTree& tree) {
  Translation t;
  if (!tree.ok) return t;
  Emitter pcre2(tree, Engine::kPcre2);
  t.faithful = pcre2.Emit(&t.pcre2);
  if (!t.faithful) {
    t.pcre2.clear();
    return t;
  }
  t.captures = pcre2.captures();
  Emitter re2(tree, Engine::kRe2);
  t.re2_able = re2.Emit(&t.re2);
  if (!t.re2_able) t.re2.clear();

  // Sized on the prefix form: the dropped tails cost nothing.
  uint64_t size = 0;
  Width w{kInf, 0};
  std::vector<uint32_t> alternatives = {tree.root};
  if (tree.nodes[tree.root].kind == Kind::kAlt) alternatives = tree.nodes[tree.root].children;
  for (uint32_t a : alternatives) {
    const PatternNode& n = tree.nodes[a];
    Width aw;
    if (re2.HasTail(n)) {
      for (size_t k = 0; k + 2 < n.children.size(); ++k) {
        size = Sat(size + Size(tree, n.children[k]));
        const Width cw = re2.WidthOf(n.children[k]);
        aw = {Add(aw.lo, cw.lo), Add(aw.hi, cw.hi)};
      }
    } else {
      size = Sat(size + Size(tree, a));
      aw = re2.WidthOf(a);
    }
    w = {std::min(w.lo, aw.lo), std::max(w.hi, aw.hi)};
  }
  t.size = size;
  t.bounded = w.hi != kInf;
  t.max_width = t.bounded ? static_cast<uint64_t>(w.hi) : 0;
  t.width_spread = t.bounded ? static_cast<uint64_t>(w.hi - w.lo) : 0;
  int unbounded = 0;
  Tameness(tree, re2, &unbounded, &t.tame);
  return t;
}

}  // namespace trb
