(ns app.cycle-a (:require app.cycle-b))
