"""The report: one table per environment on the console and in results.md,
the ensembles' spread and the verdict against the optimal policy."""

from __future__ import annotations

from .environments import optimal_actions
from .experiment import Outcome
from .learners import ENSEMBLES, LEARNERS

HEADER = ["function", "learns", "iterations", "time s", "success", "vs optimal", "mean return", "optimal actions"]
ROW_NAMES = ["optimal"] + [learner.name for learner in LEARNERS] + ["random behaviour"]
ACROSS = {"qlearn_forward_parallel": "workers on the same episodes",
          "td_learn_backward_parallel": "bootstrap resamples of the episodes"}


def rows(outcome: Outcome) -> list[list[str]]:
    best = optimal_actions(outcome.q_star)
    states = outcome.model.decision_states
    optimum = outcome.scores["optimal"].success
    out = []
    for name in ROW_NAMES:
        s = outcome.scores[name]
        if name in outcome.trained:
            t = outcome.trained[name]
            greedy = t.q.argmax(axis=1)
            agree = int(best[states, greedy[states]].sum())
            row = [name, t.learner.holds, t.iterations, f"{t.seconds:.2f}"]
            tail = [f"{agree}/{len(states)}"]
        else:
            row = [name, "value iteration" if name == "optimal" else "data's policy", "-", "-"]
            tail = [f"{len(states)}/{len(states)}" if name == "optimal" else "-"]
        out.append(row + [f"{s.success:.3f}", f"{s.success - optimum:+.3f}", f"{s.mean_return:.2f}"] + tail)
    return out


def table(header: list[str], body: list[list[str]]) -> str:
    widths = [max(len(str(x)) for x in column) for column in zip(header, *body)]
    align = ["<"] + [">"] * (len(header) - 1)
    align[1] = "<"

    def line(cells):
        return "  ".join(f"{str(c):{a}{w}}" for c, a, w in zip(cells, align, widths)).rstrip()

    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in body])


def markdown(header: list[str], body: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(c) for c in r) + " |" for r in body]
    return "\n".join(out)


def print_outcome(outcome: Outcome) -> None:
    seeds = outcome.seeds
    print(f"\nGreedy policies on {len(seeds):,} evaluation episodes (environment seeds {seeds.start}..{seeds.stop - 1}):")
    print(table(HEADER, rows(outcome)))

    print(f"\nEnsembles of {outcome.settings.workers} workers "
          "(spread = standard deviation of max_a Q(s, a) across members):")
    for name in ENSEMBLES:
        sp = outcome.spreads[name]
        where = f" (state {sp.worst_state})" if sp.worst > 0 else ""
        print(f"  {name}: across {ACROSS[name]}: mean spread {sp.mean:.4g}, largest {sp.worst:.4g}{where}; "
              f"all members pick the same greedy action in {sp.agree} of {sp.states} states")

    verdict = []
    for name in ("qlearn_forward", "fast_learn", "double_q"):
        gap = outcome.scores["optimal"].success - outcome.scores[name].success
        verdict.append(f"{name} {'within' if gap <= 0.1 else 'NOT within'} 0.1")
    print("\nsuccess rate against the optimal policy's: " + ", ".join(verdict))
    print(f"module output: {outcome.log_path}")


def markdown_section(outcome: Outcome) -> str:
    s = outcome.settings
    registered_as = outcome.env.spec.id
    return "\n".join([
        f"## {outcome.task.title} ({registered_as})", "",
        f"{outcome.episodes:,} episodes, {outcome.transitions:,} transitions; discount {s.discount}, "
        f"learning rate {s.learning_rate}, up to {s.iterations:,} iterations, quit threshold {s.quit_threshold}; "
        f"{s.eval_episodes:,} evaluation episodes.", "",
        markdown(HEADER, rows(outcome)), ""])
