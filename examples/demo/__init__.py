"""Offline Q-learning on Gymnasium's toy-text environments with all eight tarnel learners.

For each environment the demonstration

1. records episodes with a uniformly random behaviour policy into tarnel's
   episode arrays (state, action, reward, next state, terminal flag; an
   episode cut short by a time limit ends on a transition marked not terminal,
   since the state after it still has a future);
2. trains a Q table with each of the eight functions on the same recordings;
3. computes the optimal policy by value iteration on the environment's own
   transition model (``env.unwrapped.P``);
4. runs every greedy policy, the optimal one and the random behaviour policy
   in the environment, each on the same evaluation episodes (the environment
   seeded with the same seeds), and prints the comparison as a table;
5. reads the two parallel functions as ensembles: the spread of the learned
   state values across independent workers (``qlearn_forward_parallel``) and
   across bootstrap resamples of the episodes (``td_learn_backward_parallel``);
6. saves a figure: state values with greedy actions as arrows, the ensemble
   spreads and the evaluation results.

The module prints lines of its own on standard output (file descriptor 1).
The demonstration collects each call's lines, writes all of them unchanged to
``module-output-<env>.txt`` in the output folder and, by default, echoes the
first and last line of each call (``--module-output all`` echoes every line).

Needs gymnasium, matplotlib and tqdm (requirements-demo.txt); uses no network.

    python examples/demo [--env frozenlake --env cliffwalking] [--quick] [--episodes N]
                         [--iterations N] [--output DIR] ...

The package's parts: ``environments`` (settings, model, recording,
evaluation), ``learners`` (one record per tarnel function), ``experiment``
(one environment's run), ``report``, ``figure`` and ``cli``.
"""
