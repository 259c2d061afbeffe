// The engine's tuning: every fixed size, share and threshold of the search and of the
// finalists, each with the reason for its value. The settings a user may change, with
// their defaults and limits, are in config.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace zan::discover::engine {

// ---- what counts as a fit -----------------------------------------------------------------

// Normalised error below which a fit counts as exact: rounding of double arithmetic on
// noiseless data stays many orders below it, any real misfit far above.
inline constexpr double kExactNmse = 1e-20;
// Loss floor, relative to the target's variance, under which losses are not told apart
// when the front is built and scored.
inline constexpr double kLossFloor = 1e-14;
// The rounding of the target's own values, relative to their root mean square: a target whose
// spread is within it is one number up to its last bits (0.3 on thirty rows, whose mean is not
// 0.3), and losses within it are not told apart however small its variance.
inline constexpr double kTargetRounding = 64.0 * 2.220446049250313e-16;
// A longer formula joins the front only when its loss is lower by more than this share:
// a gain of rounding (exp(1.5·ln a) against exp(0.75·ln a²)) is not an improvement.
inline constexpr double kLossTie = 1e-9;

// An outermost intercept is offered dropped when dropping it raises the residual by less than
// this many times the full fit's residual variance (the F-test of one constant near 5%).
inline constexpr double kInterceptF = 4.0;

// ---- generation ---------------------------------------------------------------------------

// Pairs of blocks joined per pair of sizes before the sides are cut to their best.
inline constexpr std::size_t kPairBudget = 12000;
// A side of at most this many blocks still meets the whole of the other past the budget:
// small blocks are what products and sums are made of.
inline constexpr std::size_t kSmallSide = 40;

// ---- inner constants ----------------------------------------------------------------------

// Starting values of an inner constant, best first after scoring; no randomness.
inline constexpr std::array<double, 7> kScaleGrid = {-2.0, -1.0, -0.5, 0.5, 1.0, 2.0, 3.141592653589793};
inline constexpr std::array<double, 6> kShiftGrid = {-2.0, -1.0, 0.5, 1.0, 2.0, 3.0};
// The screening fit of an inner constant is short: the constant is refitted with the
// whole formula if it gets that far.
inline constexpr std::size_t kScreeningIterations = 6;
inline constexpr double kScreeningTolerance = 1e-8;

// ---- scoring and the pool's cut-offs ------------------------------------------------------

// Rough cost of one candidate on one sample row, for the pool's serial cut-off.
inline constexpr double kCandidateRowNs = 4.0;
// Scoring a candidate (compose, moments, residual fits) against one row's arithmetic.
inline constexpr double kScoringPasses = 3.0;
// Scoring threads look for a stop request every this many candidates: often enough to stop
// within milliseconds, seldom enough to cost nothing.
inline constexpr std::size_t kStopCheckInterval = 256;
// Cost of scoring a candidate with an inner constant, in plain candidates: a grid of
// starts and a short LM fit.
inline constexpr double kFittedCost = 20.0;
// Sorting the scored candidates: pieces of at least this many go to the pool, at about
// this cost per element.
inline constexpr std::size_t kSortPiece = 8192;
inline constexpr double kSortRowNs = 60.0;

// ---- selection ----------------------------------------------------------------------------

// The beam gives each set of variables at most this share of it (with more than one
// variable): chains of unary operators over one variable all fit alike and would
// otherwise crowd out the rest.
inline constexpr std::size_t kBeamShares = 4;
// Each residual model's ranking is ordered this many times per_residual deep: room for
// the duplicates among its head.
inline constexpr std::size_t kResidualHeadDepth = 4;
// Printed ahead, in parallel: twice the beam and twice each set's quota, which the choice
// rarely reaches past.
inline constexpr std::size_t kPrintAhead = 2;
// Of the best per set of variables, how many are joined by binary operators: blocks that
// matter only inside a product or a sum rank low against y on their own.
inline constexpr std::size_t kJoinPerVariableSet = 2;
// Largest monomial always kept: a polynomial's high powers fit the target poorly on their
// own, yet its sum needs every one of them.
inline constexpr std::size_t kMonomialSize = 7;
// Candidates put in order by error at a level (then, beyond them, only the best this
// many times per_variable_set of each set of variables, and the monomials).
inline constexpr std::size_t kSortedHead = 4096;
inline constexpr std::size_t kBeyondPerVariableSet = 4;
// Sets of variables counted in a flat table (2^n slots) up to this many variables; a map
// beyond, where most of the slots would stay empty.
inline constexpr std::size_t kFlatVariables = 16;
// A residual model comes from a node of at most this many tokens (besides the best node
// of all): the residual of a law's main effect is its other terms.
inline constexpr std::uint32_t kSimpleResidualSize = 3;

// ---- sums ---------------------------------------------------------------------------------

// Below this share of its norm left after projecting out the chosen terms, a column adds
// nothing new.
inline constexpr double kIndependence = 1e-7;
// Pursuits also start from this many of the best nodes of at most kSimpleSize tokens.
inline constexpr std::size_t kSimpleStarts = 4;
inline constexpr std::uint32_t kSimpleSize = 3;

// ---- pair sums, polynomials and ratios ----------------------------------------------------

inline constexpr std::uint32_t kDenominatorSize = 6;  // largest denominator, in tokens
inline constexpr std::size_t kMaxDenominators = 256;
inline constexpr std::uint32_t kTermSize = 5;         // largest term of a pursued numerator
inline constexpr std::size_t kMaxPairTerms = 512;     // the smallest ones
inline constexpr std::size_t kRatioTerms = 3;         // most terms of a numerator
// Pairs of terms closer to collinear than this (1 − cos²) are not told apart from one.
inline constexpr double kIndependentPair = 1e-10;
inline constexpr std::size_t kRatiosKept = 12;        // best ratios handed on
// A denominator's smallest magnitude on the sample, relative to its largest: below it a
// pole sits too close to the data for the ratio to mean anything between the rows.
inline constexpr double kDenominatorMargin = 1e-3;

// ---- ratios over sums and blocks with a constant inside a product -------------------------

// Kept nodes tried as d in N/(1 + c·d), the smallest first: each costs a numerator search.
inline constexpr std::size_t kSumDenominators = 64;
// The best few unary operators of one variable (cos θ) are also tried with each variable as
// an overall factor of the ratio: a search per variable each.
inline constexpr std::size_t kFactoredDenominators = 12;
// Terms of such numerators: kept nodes of at most this many tokens (cos(n·θ) is four), of
// each size at most this many in the levels' join order, and the small products of
// variables. Each search fits the best few single terms against its target, and the pairs
// that explain most of it by the terms' Gram matrix (a pair's second term may rank low alone).
inline constexpr std::uint32_t kSumRatioTermSize = 7;
inline constexpr std::size_t kSumRatioTermsPerSize = 64;
inline constexpr std::size_t kNumeratorShortlist = 10;
inline constexpr std::size_t kBestPairs = 12;
// Products and ratios of variables that a constant is put inside of (e^{k·m}, tanh(k·m),
// cos(k·m)) or that form √(1 ± m): those of most variables first (a law's dimensionless
// argument uses many), then the smallest, at most this many, of at most this many tokens.
inline constexpr std::size_t kScannedBases = 24;
inline constexpr std::uint32_t kScannedBaseSize = 7;
// Besides, the stage makes its own products of powers: of up to kProductVariables variables
// with powers ±1 (h·ω/(kb·T) has four), then of up to three with one squared (u·v/c²), at
// most kProducts of them, fewest variables first. Those of up to kProductTermVariables are
// also numerator terms and cosine arguments (E·t/h).
inline constexpr std::size_t kProductVariables = 4;
// Only the first this many variables take part: the subsets are counted through bit masks.
inline constexpr std::size_t kProductVariableLimit = 20;
inline constexpr std::size_t kProducts = 256;
inline constexpr std::size_t kProductTermVariables = 3;
// The constant k of e^{k·m} and tanh(k·m) is scanned over ±2^j for |j| ≤ kScaleOctaves,
// then refined between the best point's neighbours.
inline constexpr int kScaleOctaves = 5;
// The constant of cos(k·m) and sin(k·m): their fit is many-valleyed in k, so k is scanned
// by the phase it sweeps over the sample, k·max|m|, in steps small enough that the best
// point lies in the right valley, up to some eight turns.
inline constexpr double kPhaseStep = 0.25;
inline constexpr double kMaxPhase = 50.0;
// The refinement of a scanned constant: a finer grid of this many points between the best
// point's neighbours, then golden-section steps between the finer grid's, which shrink that
// bracket to about 1e-4 of itself, close enough for the final refit.
inline constexpr std::size_t kRefinePoints = 8;
inline constexpr std::size_t kRefineSteps = 20;
inline constexpr std::size_t kSumRatiosKept = 8;  // best formulas of the stage handed on

// ---- transformed targets ------------------------------------------------------------------

// In a transformed space (ln y, y², 1/y) laws become sums of small terms: a shallower
// search will do.
inline constexpr std::size_t kTransformedSearchSize = 8;

// ---- finalists, snapping and the choice ---------------------------------------------------

inline constexpr std::size_t kPerSize = 3;       // best single formulas per size kept as finalists
inline constexpr std::size_t kSumsPerTerms = 3;  // best sums per number of terms
inline constexpr double kSnapTolerance = 2e-2;   // relative distance of a snap candidate
inline constexpr std::size_t kSnapTries = 6;     // candidates tried per constant
// Rough cost of verifying one finalist, per row: its refits and snapping trials.
inline constexpr double kFinalistRowNs = 5000.0;
// At least this many rows for every fitted constant of the chosen formula: with fewer, a
// formula with constants enough follows the rows' own errors and beats every law.
inline constexpr std::size_t kRowsPerConstant = 8;

}  // namespace zan::discover::engine
