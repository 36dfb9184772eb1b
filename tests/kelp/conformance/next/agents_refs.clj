;; Agents and refs (the language's next layer; run once kelp has them).
(prn :agent (let [ag (agent 0)] (send ag + 5) (await ag) @ag))
(prn :ref (let [r (ref 1)] (dosync (alter r inc) (commute r * 10)) @r))
(shutdown-agents)
