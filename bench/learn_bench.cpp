// Time of the header learner on message files, in the process: learning each file's header
// block, and classifying each one (the files are read and split into lines beforehand).
// Usage: learn_bench SPAM_LIST HAM_LIST   (files naming one message file per line)
// Prints JSON: messages, learn_us, classify_us (median of 5 passes, per message), tokens,
// state_bytes (the learner as stored, after learning all of them).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Learner.h"

using namespace norva;

namespace {

std::vector<TStringList> Read(const char* list) {
  std::vector<TStringList> out;
  std::ifstream names(list);
  for (std::string name; std::getline(names, name);) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    out.push_back(HeaderBlockOf(bytes.str()));
  }
  return out;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: learn_bench SPAM_LIST HAM_LIST\n";
    return 2;
  }
  const std::vector<TStringList> spam = Read(argv[1]), ham = Read(argv[2]);
  const size_t n = spam.size() + ham.size();
  std::vector<double> learn, classify;
  TLearner learner;
  double sink = 0;
  for (int pass = 0; pass < 5; ++pass) {
    learner.Clear();
    auto start = std::chrono::steady_clock::now();
    for (const auto& h : spam) learner.Mark(h, TLearner::TMark::Spam);
    for (const auto& h : ham) learner.Mark(h, TLearner::TMark::Safe);
    learn.push_back(Seconds(start) / double(n));
    start = std::chrono::steady_clock::now();
    for (const auto& h : spam) sink += learner.Probability(h);
    for (const auto& h : ham) sink += learner.Probability(h);
    classify.push_back(Seconds(start) / double(n));
  }
  std::sort(learn.begin(), learn.end());
  std::sort(classify.begin(), classify.end());
  learner.Prune();
  std::printf(
      "{\"messages\": %zu, \"learn_us\": %.1f, \"classify_us\": %.1f, \"tokens\": %zu, "
      "\"state_bytes\": %zu, \"checksum\": %.3f}\n",
      n, learn[2] * 1e6, classify[2] * 1e6, learner.TokenCount(), learner.Save().size(), sink);
  return 0;
}
