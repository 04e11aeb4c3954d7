#include "policy/regex_program.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace trb {

using regex::Node;

// Turns the parse tree into Thompson NFA instructions.
class ProgramBuilder {
 public:
  explicit ProgramBuilder(const regex::Tree& tree) : tree_(tree) {}

  std::optional<RegexProgram> Build() {
    prog_.sets_ = tree_.sets;
    Emit(tree_.root, true);
    Push({RegexProgram::Op::kMatch});
    if (!ok_) return std::nullopt;
    // Nothing jumps into this run: loops and alternatives start with their own split.
    uint32_t pc = prog_.insts_[0].op == Op::kBegin ? 1 : 0;
    prog_.prefix_begin_ = pc;
    while (prog_.insts_[pc].op == Op::kSet) ++pc;
    prog_.prefix_end_ = pc;
    return std::move(prog_);
  }

 private:
  using Op = RegexProgram::Op;

  uint32_t Pc() const { return static_cast<uint32_t>(prog_.insts_.size()); }
  uint32_t Push(RegexProgram::Inst inst) {
    if (prog_.insts_.size() >= RegexProgram::kMaxInstructions) {
      ok_ = false;
      return 0;
    }
    prog_.insts_.push_back(inst);
    return Pc() - 1;
  }

  // ".*" then "$" as the last two items before the end of the program.
  bool IsAnyTail(const Node& seq) const {
    const size_t n = seq.children.size();
    if (n < 2) return false;
    const Node& star = tree_.nodes[seq.children[n - 2]];
    const Node& end = tree_.nodes[seq.children[n - 1]];
    return end.kind == Node::Kind::kEnd && star.kind == Node::Kind::kRepeat && star.min == 0 &&
           star.max < 0 && tree_.nodes[star.children[0]].any_char;
  }

  // `tail`: nothing but the final match follows this node.
  void Emit(uint32_t index, bool tail) {
    if (!ok_) return;
    const Node& node = tree_.nodes[index];
    switch (node.kind) {
      case Node::Kind::kEmpty:
        return;
      case Node::Kind::kSet:
        Push({Op::kSet, node.set});
        return;
      case Node::Kind::kBegin:
        Push({Op::kBegin});
        return;
      case Node::Kind::kEnd:
        Push({Op::kEnd});
        return;
      case Node::Kind::kWordBoundary:
        Push({Op::kWordBoundary});
        return;
      case Node::Kind::kNotWordBoundary:
        Push({Op::kNotWordBoundary});
        return;
      case Node::Kind::kConcat: {
        const size_t n = node.children.size();
        if (tail && IsAnyTail(node)) {
          for (size_t i = 0; i + 2 < n; ++i) Emit(node.children[i], false);
          Push({Op::kAnyTail});
          return;
        }
        for (size_t i = 0; i < n; ++i) Emit(node.children[i], tail && i + 1 == n);
        return;
      }
      case Node::Kind::kAlt: {
        std::vector<uint32_t> exits;
        for (size_t i = 0; i < node.children.size(); ++i) {
          const bool last = i + 1 == node.children.size();
          const uint32_t split = last ? 0 : Push({Op::kSplit});
          Emit(node.children[i], tail);
          if (!last) {
            exits.push_back(Push({Op::kJmp}));
            if (!ok_) return;
            prog_.insts_[split].a = split + 1;
            prog_.insts_[split].b = Pc();
          }
        }
        if (!ok_) return;
        for (uint32_t pc : exits) prog_.insts_[pc].a = Pc();
        return;
      }
      case Node::Kind::kRepeat:
        EmitRepeat(node);
        return;
    }
  }

  void EmitRepeat(const Node& node) {
    const uint32_t body = node.children[0];
    for (int32_t i = 0; i < node.min && ok_; ++i) Emit(body, false);
    if (node.max < 0) {
      const uint32_t loop = Push({Op::kSplit});
      Emit(body, false);
      Push({Op::kJmp, loop});
      if (!ok_) return;
      prog_.insts_[loop].a = loop + 1;
      prog_.insts_[loop].b = Pc();
      return;
    }
    std::vector<uint32_t> splits;
    for (int32_t i = node.min; i < node.max && ok_; ++i) {
      splits.push_back(Push({Op::kSplit}));
      Emit(body, false);
    }
    if (!ok_) return;
    for (uint32_t pc : splits) {
      prog_.insts_[pc].a = pc + 1;
      prog_.insts_[pc].b = Pc();
    }
  }

  const regex::Tree& tree_;
  RegexProgram prog_;
  bool ok_ = true;
};

std::optional<RegexProgram> RegexProgram::Compile(std::string_view pattern) {
  const std::optional<regex::Tree> tree = regex::Parse(pattern);
  if (!tree) return std::nullopt;
  return ProgramBuilder(*tree).Build();
}

namespace {

bool IsWordByte(unsigned char b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_';
}

// Per-thread scratch, grown to the largest program seen, so a check allocates nothing.
struct Scratch {
  std::vector<uint32_t> mark;  // generation in which a pc was last added
  std::vector<uint32_t> current, next, stack;
  uint32_t generation = 0;

  void Prepare(size_t program_size) {
    if (mark.size() < program_size) {
      mark.assign(program_size, 0);
      generation = 0;
    }
    if (generation > 0xfffffff0u) {
      std::fill(mark.begin(), mark.end(), 0);
      generation = 0;
    }
    current.clear();
    next.clear();
  }
};

// Position of the last '\n' or '\r', or -1; ".*$" from position i matches when it is < i.
std::ptrdiff_t LastLineBreak(std::string_view s) {
  const size_t at = s.find_last_of("\r\n");
  return at == std::string_view::npos ? -1 : static_cast<std::ptrdiff_t>(at);
}

}  // namespace

bool RegexProgram::FullMatch(std::string_view input) const {
  uint64_t unlimited = UINT64_MAX;
  return FullMatch(input, &unlimited);
}

bool RegexProgram::FullMatch(std::string_view input, uint64_t* budget) const {
  thread_local Scratch scratch;
  Scratch& s = scratch;
  s.Prepare(insts_.size());
  const size_t n = input.size();
  const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
  std::ptrdiff_t last_break = -2;  // not looked up yet
  bool matched = false;
  bool context_used = false;  // the last closure depended on the position
  bool out_of_budget = false;

  // Follows every empty-width step from `start` at position `pos`; the byte-consuming
  // instructions reached go to `list`. Explicit stack: no recursion on the program either.
  const auto add = [&](std::vector<uint32_t>& list, uint32_t start, size_t pos) {
    s.stack.push_back(start);
    while (!s.stack.empty()) {
      const uint32_t pc = s.stack.back();
      s.stack.pop_back();
      if (s.mark[pc] == s.generation) continue;
      if (*budget == 0) {
        out_of_budget = true;
        s.stack.clear();
        return;
      }
      --*budget;
      s.mark[pc] = s.generation;
      const Inst& inst = insts_[pc];
      switch (inst.op) {
        case Op::kSet:
          list.push_back(pc);
          break;
        case Op::kSplit:
          s.stack.push_back(inst.b);
          s.stack.push_back(inst.a);
          break;
        case Op::kJmp:
          s.stack.push_back(inst.a);
          break;
        case Op::kBegin:
          context_used = true;
          if (pos == 0) s.stack.push_back(pc + 1);
          break;
        case Op::kEnd:
          context_used = true;
          if (pos == n) s.stack.push_back(pc + 1);
          break;
        case Op::kWordBoundary:
        case Op::kNotWordBoundary: {
          context_used = true;
          const bool left = pos > 0 && IsWordByte(bytes[pos - 1]);
          const bool right = pos < n && IsWordByte(bytes[pos]);
          if ((left != right) == (inst.op == Op::kWordBoundary)) s.stack.push_back(pc + 1);
          break;
        }
        case Op::kAnyTail:
          context_used = true;
          if (last_break == -2) last_break = LastLineBreak(input);
          if (last_break < static_cast<std::ptrdiff_t>(pos)) matched = true;
          break;
        case Op::kMatch:
          context_used = true;
          if (pos == n) matched = true;
          break;
      }
    }
  };

  // The leading run of byte steps needs no VM.
  const size_t prefix = prefix_end_ - prefix_begin_;
  if (n < prefix) return false;
  for (size_t i = 0; i < prefix; ++i) {
    if (!sets_[insts_[prefix_begin_ + i].a].Has(bytes[i])) return false;
  }

  ++s.generation;
  add(s.current, prefix == 0 ? 0 : prefix_end_, prefix);
  for (size_t pos = prefix; pos < n && !matched && !out_of_budget && !s.current.empty(); ++pos) {
    ++s.generation;
    s.next.clear();
    context_used = false;
    const unsigned char c = bytes[pos];
    uint64_t signature = 0;
    for (size_t t = 0; t < s.current.size(); ++t) {
      const uint32_t pc = s.current[t];
      if (!sets_[insts_[pc].a].Has(c)) continue;
      signature |= t < 64 ? uint64_t{1} << t : 0;
      add(s.next, pc + 1, pos + 1);
      if (matched || out_of_budget) break;
    }
    // A step that led back to the same threads without looking at the position (a ".*"
    // waiting for its next literal) repeats for every byte that the same threads accept:
    // skip those bytes without running the VM.
    if (!context_used && !matched && s.next == s.current && s.current.size() <= 64) {
      const auto same = [&](unsigned char b) {
        uint64_t sig = 0;
        for (size_t t = 0; t < s.current.size(); ++t)
          sig |= sets_[insts_[s.current[t]].a].Has(b) ? uint64_t{1} << t : 0;
        return sig == signature;
      };
      while (pos + 1 < n && same(bytes[pos + 1])) ++pos;
    }
    std::swap(s.current, s.next);
  }
  return matched && !out_of_budget;
}

}  // namespace trb
