// EdgeMap's refinement as plain C++ over arrays; the plain-Python model of the same steps is
// `edgemap` in tests/partition/reference.py.
//
// Passes over the assignment's keys in order: a node that is not skipped collects the cores of
// its successors (newest edge first) and then of its predecessors into a set, drops its own
// core, and moves to the first core in the set's iteration order that has room and strictly
// lowers the number of cut edges around it. Passes stop after one without a move, or after 50.
//
// Cores are dense ids with the host hash of their objects (the set's order depends on it). A
// moved key takes the core object that the program's set holds for the target: the object of
// the first neighbour (successors, then predecessors) on that core, tracked as an index into
// the keys' own values.
//
// The host-facing parts are callbacks, called exactly when the refinement reaches them:
// `skip(k)` (key k's node is an Input or Output), `full(core, size)` (the capacity test of a
// target), `before_move_test(k)` (the checks the program makes on the node's name before it
// computes a move's gain), `missing(k)` (key k names no node: it throws) and `tick()`.
#pragma once

#include "zerav/graph/partition/adjacency.hpp"
#include "zerav/graph/partition/candidate_set.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace zerav::partition {

struct RefinementArrays {
    std::vector<int32_t> key_vertex;     // per key: its vertex, or -1
    std::vector<int32_t> key_core;       // per key: its dense core
    std::vector<int32_t> value_of_key;   // per key: the key whose core object it holds
    std::vector<int32_t> core_of;        // per vertex: its key's dense core, or -1
    std::vector<int32_t> key_of_vertex;  // per vertex: its key, or -1
    std::vector<int64_t> core_sizes;     // per dense core: its nodes, Input and Output included
    std::vector<Py_hash_t> core_hashes;  // per dense core: the host hash of its object
};

template <class Skip, class Full, class BeforeMoveTest, class Missing, class Tick>
int refine(RefinementArrays& a, const Adjacency& neighbours, const Adjacency& successors,
           const Adjacency& predecessors, Skip skip, Full full, BeforeMoveTest before_move_test,
           Missing missing, Tick tick) {
    constexpr int kMaxPasses = 50;

    // The change in cut edges around v if it moved from old_core to new_core.
    auto gain = [&](int32_t v, int32_t old_core, int32_t new_core) {
        int64_t delta = 0;
        for (int32_t u : neighbours.of(v)) {
            const int32_t nc = a.core_of[u];
            if (nc >= 0) delta += (nc != new_core) - (nc != old_core);
        }
        return delta;
    };
    // The neighbour whose core object the candidate set holds for `target`.
    auto first_neighbour_on = [&](int32_t v, int32_t target) {
        for (int32_t u : successors.of(v))
            if (a.core_of[u] == target) return u;
        for (int32_t u : predecessors.of(v))
            if (a.core_of[u] == target) return u;
        return int32_t{-1};
    };

    CandidateSet candidates;
    bool improved = true;
    int pass = 0;
    while (improved && pass < kMaxPasses) {
        improved = false;
        ++pass;
        for (size_t k = 0; k < a.key_vertex.size(); ++k) {
            tick();
            if (skip(k)) continue;
            const int32_t v = a.key_vertex[k];
            if (v < 0) {
                missing(k);
                continue;
            }
            const int32_t current = a.core_of[v];
            candidates.reset();
            for (std::span<const int32_t> list : {successors.of(v), predecessors.of(v)})
                for (int32_t u : list)
                    if (a.core_of[u] >= 0) candidates.add(a.core_of[u], a.core_hashes[a.core_of[u]]);
            candidates.discard(current);
            candidates.find_first([&](int32_t target) {
                if (full(target, a.core_sizes[target])) return false;
                before_move_test(k);
                if (gain(v, current, target) >= 0) return false;
                const int32_t holder = first_neighbour_on(v, target);  // the target is a neighbour's core
                a.value_of_key[k] = a.value_of_key[a.key_of_vertex[holder]];
                a.core_of[v] = target;
                a.key_core[k] = target;
                --a.core_sizes[current];
                ++a.core_sizes[target];
                improved = true;
                return true;
            });
        }
    }
    return pass;
}

}  // namespace zerav::partition
